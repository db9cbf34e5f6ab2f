// vantor-demo-manager: the card manager's main window as the program shows it, polling the
// readers on its own timer; each time it identifies a card in the reader named next on the
// command line it saves a picture of the window and prints one line with what it shows.
//
//   vantor-demo-manager [--timeout SECONDS] READER=FILE.png...
//
// The readers are taken in order, so a caller can change the cards between them (the demo takes
// the first card out so that the manager moves on to the second). Exit 0 when every reader was
// shown in time, 1 when one was not (the line then says what the window shows instead).
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "atr_table.h"
#include "cardolo_library.h"
#include "main_window.h"
#include "program_state.h"
#include "settings_store.h"
#include "win/objbase.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: vantor-demo-manager [--timeout SECONDS] READER=FILE.png...\n");
    return 2;
}

// The card summary on one line ("Type: ... / Reader: ...").
std::string OneLine(const QLabel* label) {
    return label == nullptr ? std::string("(no card label)")
                            : label->text().replace('\n', " / ").toStdString();
}

// True once the window shows a card that the manager opened in reader `reader`.
bool ShowsCardIn(tesmira::MainWindow& window, const std::string& reader) {
    tesmira::SmartCardCls& card = window.watch().card();
    return card.Valid() && card.SlotName() == reader;
}

}  // namespace

int main(int argc, char** argv) {
    int timeoutSeconds = 30;
    std::vector<std::pair<std::string, std::string>> shots;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            timeoutSeconds = std::atoi(argv[++i]);
            if (timeoutSeconds <= 0) {
                return Usage();
            }
            continue;
        }
        const char* equals = std::strchr(argv[i], '=');
        if (equals == nullptr || equals == argv[i] || equals[1] == '\0') {
            return Usage();
        }
        shots.emplace_back(std::string(argv[i], static_cast<std::size_t>(equals - argv[i])),
                           std::string(equals + 1));
    }
    if (shots.empty()) {
        return Usage();
    }

    QApplication app(argc, argv);
    CoInitialize(nullptr);
    int status = 0;
    {
        tesmira::NextObjectNumber = 1;
        tesmira::SettingsStore settings;
        const tesmira::AtrTable atrTable = tesmira::LoadAtrTable(settings);
        tesmira::MainWindow window(tesmira::Cardolo(), atrTable, settings);
        window.show();
        const auto* label = window.findChild<QLabel*>("cardLabel");
        for (const auto& [reader, file] : shots) {
            QElapsedTimer clock;
            clock.start();
            // The window's own timer does the polling; this loop only lets it run and looks.
            while (!ShowsCardIn(window, reader) && clock.elapsed() < timeoutSeconds * 1000) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
                QThread::msleep(20);
            }
            if (!ShowsCardIn(window, reader)) {
                std::printf("no card identified in %s within %d s; the window shows: %s\n",
                            reader.c_str(), timeoutSeconds, OneLine(label).c_str());
                status = 1;
                break;
            }
            // The new texts and pictures are painted before the picture is taken.
            for (int round = 0; round < 10; ++round) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
                QThread::msleep(20);
            }
            if (!window.grab().save(QString::fromStdString(file), "PNG")) {
                std::printf("cannot write %s\n", file.c_str());
                status = 1;
                break;
            }
            std::printf("%s\n", OneLine(label).c_str());
            std::fflush(stdout);
        }
    }
    CoUninitialize();
    return status;
}
