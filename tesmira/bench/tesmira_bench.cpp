// tesmira_bench: the main window's costs on the card bench, each beside a baseline taken in the
// same run: the CPU of polling (timer running) against the same window with polling suspended,
// with and without a card; the time from a card's insertion to the identified window against
// the polling period; and the APDUs one identification sends.
//
//   tesmira_bench [--seconds N] [--insertions N]
//
// Needs the bench (VANTOR_BENCH_STATE), a registry with the automation server registered and the
// ATR table written (VANTOR_REGISTRY_DIR, see tesmira_seed) and CARDTOKEN_CONF; tesmira-bench.sh
// prepares all three.
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "atr_table.h"
#include "card_bench.h"
#include "cardolo_library.h"
#include "main_window.h"
#include "settings_store.h"
#include "win/objbase.h"

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop (sleeping between events, as the program's does) for the given time;
// returns the CPU used as a share of one core.
double CpuShare(int seconds) {
    QElapsedTimer clock;
    clock.start();
    const double before = CpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    return (CpuSeconds() - before) / (static_cast<double>(clock.elapsed()) / 1000.0);
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

void ReportCpu(const char* what, tesmira::MainWindow& window, int seconds) {
    window.SuspendPolling();
    const double idle = CpuShare(seconds);
    window.ResumePolling();
    const double polling = CpuShare(seconds);
    std::printf(
        "idle CPU %-9s polling %.3f %% of one core, suspended (baseline) %.3f %%, "
        "ratio %.2f, target < 0.5 %% (%.2f of it)\n",
        what, polling * 100, idle * 100, idle > 0 ? polling / idle : 0.0, polling * 100 / 0.5);
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    int insertions = 5;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--insertions") == 0 && i + 1 < argc) {
            insertions = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: tesmira_bench [--seconds N] [--insertions N]\n");
            return 1;
        }
    }
    std::string why;
    auto state = vantor::bench::readState(&why);
    if (!state) {
        std::fprintf(stderr, "tesmira_bench: card bench not running: %s\n", why.c_str());
        return 77;
    }
    vantor::bench::CardBench bench(*state);
    CoInitialize(nullptr);
    QApplication app(argc, argv);

    tesmira::SettingsStore settings;
    const tesmira::AtrTable table = tesmira::LoadAtrTable(settings);
    tesmira::MainWindow window(tesmira::Cardolo(), table, settings);
    auto identified = [&] { return window.watch().card().smartCardType() == 2; };
    auto empty = [&] { return window.watch().card().smartCardType() == 0; };

    ReportCpu("no card", window, seconds);

    std::vector<double> fromStart, fromPresent;
    for (int n = 0; n < insertions; ++n) {
        QElapsedTimer clock;
        clock.start();
        std::string error;
        if (!bench.insertCard("token-cns", 0, {}, &error)) {
            std::fprintf(stderr, "tesmira_bench: %s\n", error.c_str());
            return 1;
        }
        const qint64 present = clock.elapsed();
        if (!WaitUntil(identified, 10000)) {
            std::fprintf(stderr, "tesmira_bench: card not identified within 10 s\n");
            return 1;
        }
        fromStart.push_back(static_cast<double>(clock.elapsed()));
        fromPresent.push_back(static_cast<double>(clock.elapsed() - present));
        if (n + 1 < insertions) {
            bench.removeCard(0);
            WaitUntil(empty, 10000);
            // Start each insertion at a random point of the polling period.
            QThread::msleep(static_cast<unsigned>(137 * (n + 1) % tesmira::kPollingIntervalMs));
        }
    }
    auto mean = [](const std::vector<double>& v) {
        double sum = 0;
        for (double x : v) {
            sum += x;
        }
        return sum / static_cast<double>(v.size());
    };
    std::printf(
        "insertion to identified window (%d insertions): mean %.0f ms, max %.0f ms from "
        "cardsim start; mean %.0f ms, max %.0f ms from the card present in PC/SC; "
        "polling period %d ms (max/period %.2f)\n",
        insertions, mean(fromStart), *std::max_element(fromStart.begin(), fromStart.end()),
        mean(fromPresent), *std::max_element(fromPresent.begin(), fromPresent.end()),
        tesmira::kPollingIntervalMs,
        *std::max_element(fromPresent.begin(), fromPresent.end()) / tesmira::kPollingIntervalMs);

    std::printf("APDUs of the last identification (cardsim log %s):\n", bench.logPath(0).c_str());
    for (const auto& exchange : bench.exchanges(0)) {
        std::printf("  > %s  < %s\n", vantor::bench::toHex(exchange.command).c_str(),
                    vantor::bench::toHex(exchange.response).c_str());
    }

    ReportCpu("card", window, seconds);
    bench.removeCard(0);
    return 0;
}
