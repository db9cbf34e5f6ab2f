// cardsim: a virtual smart card for the vpcd reader driver, driven by a scenario file.
//   cardsim --port P --scenario FILE [--log FILE] [--remove-after N] [--remove-on HEX]
//           [--set "SCENARIO LINE"]... [--host ADDR] [--connect-timeout MS] [--check]
// Exits 0 when the reader closes the connection, the scenario removes the card, or on SIGTERM.
#include "card.h"
#include "vantor/cli.h"
#include "vpcd_link.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

namespace {

std::atomic<bool> g_stop{false};

void onSignal(int) {
    g_stop = true;
}

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f)
            std::fclose(f);
    }
};

const char kHelp[] =
    "usage: cardsim --port P --scenario FILE [--log FILE] [--remove-after N]\n"
    "               [--remove-on HEX] [--set LINE]... [--host ADDR]\n"
    "               [--connect-timeout MS] [--check]\n"
    "A virtual smart card for the vpcd reader driver, played from a scenario file\n"
    "(tools/cardsim/scenarios). --check only reads the scenario and prints its ATR.\n"
    "--help, --version: this text, the version.\n";

int usage(const std::string& why) {
    return vantor::cli::UsageError("cardsim", why, 2);
}

}  // namespace

int main(int argc, char** argv) {
    if (vantor::cli::HandleStandardOptions(argc, argv, "cardsim", kHelp)) {
        return 0;
    }
    int port = -1;
    std::string scenarioPath, logPath, host = "127.0.0.1";
    std::vector<std::string> extraLines;
    int connectTimeoutMs = 15000;
    bool checkOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--check") {
            checkOnly = true;
        } else if (!hasValue) {
            return usage(a.rfind("--", 0) == 0 ? a + " needs a value, or is no option of cardsim"
                                               : "unexpected argument '" + a + "'");
        } else if (a == "--port") {
            port = std::atoi(argv[++i]);
        } else if (a == "--scenario") {
            scenarioPath = argv[++i];
        } else if (a == "--log") {
            logPath = argv[++i];
        } else if (a == "--host") {
            host = argv[++i];
        } else if (a == "--connect-timeout") {
            connectTimeoutMs = std::atoi(argv[++i]);
        } else if (a == "--remove-after") {
            extraLines.push_back(std::string("fault remove-after ") + argv[++i]);
        } else if (a == "--remove-on") {
            extraLines.push_back(std::string("fault remove-on ") + argv[++i]);
        } else if (a == "--set") {
            extraLines.push_back(argv[++i]);
        } else {
            return usage("unknown option '" + a + "'");
        }
    }
    if (scenarioPath.empty()) {
        return usage(
            "--scenario FILE is required (the shipped ones are in tools/cardsim/scenarios)");
    }
    cardsim::Scenario scenario;
    try {
        scenario = cardsim::loadScenario(scenarioPath);
        for (const auto& line : extraLines)
            cardsim::applyScenarioLine(scenario, line);
    } catch (const std::exception& e) {
        std::cerr << "cardsim: " << e.what() << "\n";
        return 2;
    }
    if (checkOnly) {
        std::cout << "ATR " << cardsim::toHex(scenario.atr) << " T=" << scenario.protocol << "\n";
        return 0;
    }
    if (port <= 0 || port > 65535) {
        return usage(
            "--port needs the TCP port of the vpcd reader (1-65535; the CHANNELID of its "
            "reader.conf entry)");
    }

    std::unique_ptr<std::FILE, FileCloser> logFile;
    if (!logPath.empty()) {
        logFile.reset(std::fopen(logPath.c_str(), "w"));
        if (!logFile) {
            std::cerr << "cardsim: cannot write " << logPath << ": " << std::strerror(errno)
                      << "\n";
            return 2;
        }
    }
    // Each line is written and flushed at once so that a test reading the log sees every
    // exchange that has happened.
    auto sink = [f = logFile.get()](const std::string& line) {
        if (f) {
            std::fprintf(f, "%s\n", line.c_str());
            std::fflush(f);
        }
    };

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    cardsim::Card card(std::move(scenario), sink);
    cardsim::VpcdLink link(g_stop);
    std::string error;
    if (!link.connect(host, port, connectTimeoutMs, error)) {
        std::cerr << "cardsim: " << error << "\n";
        return g_stop ? 0 : 1;
    }
    sink("# inserted");
    while (true) {
        auto msg = link.receive();
        if (!msg) {
            sink(g_stop ? "# removed (terminated)" : "# removed (reader closed the connection)");
            break;
        }
        if (msg->size() == 1) {
            switch ((*msg)[0]) {
                case 0x00:
                    card.powerOff();
                    break;
                case 0x01:
                    card.powerOn();
                    break;
                case 0x02:
                    card.reset();
                    break;
                case 0x04:
                    link.send(card.atr());
                    break;
                default:
                    sink("# unknown control " + cardsim::toHex(*msg));
                    break;
            }
            continue;
        }
        if (msg->empty()) {
            continue;
        }
        auto answer = card.transmit(*msg);
        if (!answer.response.empty() && !link.send(answer.response)) {
            sink("# removed (send failed)");
            break;
        }
        if (answer.remove) {
            break;
        }
    }
    link.close();
    return 0;
}
