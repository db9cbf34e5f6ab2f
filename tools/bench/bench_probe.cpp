// bench_probe: PC/SC checks for the bench scripts, through the same winscard layer the tests use.
//   bench_probe readers                          list the readers, one per line
//   bench_probe wait-readers N TIMEOUT_MS        wait until at least N readers are listed
//   bench_probe wait-card READER present|absent TIMEOUT_MS
//   bench_probe atr READER                       print the ATR of the card in READER
//   bench_probe reset READER                     reset the card as another application would
// Exit status 0 on success, 1 on a failed check or time-out, 2 on bad usage.
#include "card_bench.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

namespace vb = vantor::bench;

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "readers" && argc == 2) {
        const auto readers = vb::listReaders();
        for (const auto& r : readers)
            std::cout << r << "\n";
        return readers.empty() ? 1 : 0;
    }
    if (cmd == "wait-readers" && argc == 4) {
        const std::size_t want = std::strtoul(argv[2], nullptr, 10);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(argv[3]));
        while (true) {
            if (vb::listReaders().size() >= want)
                return 0;
            if (std::chrono::steady_clock::now() >= deadline)
                return 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    if (cmd == "wait-card" && argc == 5) {
        const std::string how = argv[3];
        if (how != "present" && how != "absent") {
            std::cerr << "bench_probe: wait-card takes present or absent\n";
            return 2;
        }
        return vb::waitForCard(argv[2], how == "present", std::atoi(argv[4])) ? 0 : 1;
    }
    if (cmd == "atr" && argc == 3) {
        const auto atr = vb::readerAtr(argv[2]);
        std::cout << vb::toHex(atr) << "\n";
        return atr.empty() ? 1 : 0;
    }
    if (cmd == "reset" && argc == 3) {
        const LONG rv = vb::resetCardFromOtherApplication(argv[2]);
        if (rv != SCARD_S_SUCCESS) {
            std::cerr << "bench_probe: reset failed: 0x" << std::hex << static_cast<DWORD>(rv)
                      << "\n";
            return 1;
        }
        return 0;
    }
    std::cerr << "usage: bench_probe readers | wait-readers N MS | wait-card READER "
                 "present|absent MS | atr READER | reset READER\n";
    return 2;
}
