// The tesmira program: command line, then the card manager's main window until it closes.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "atr_table.h"
#include "cardolo_library.h"
#include "main_window.h"
#include "program_state.h"
#include "settings_store.h"
#include "win/objbase.h"

namespace {

void PrintHelp() {
    std::printf(
        "Usage: tesmira [--help] [--version]\n"
        "Card manager: watches the smart-card readers, shows the card that is inserted and\n"
        "offers its PIN/PUK management and other functions.\n"
        "\n"
        "  --help     show this text and exit\n"
        "  --version  show the version and exit\n"
        "\n"
        "Settings (window position, the ATR table of known cards) are read from the per-user\n"
        "registry, key HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Tesmira.\n"
        "Texts follow the locale (LC_ALL, LC_MESSAGES, LANG); English is the fall-back.\n");
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintHelp();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tesmira %s\n", TESMIRA_VERSION);
            return 0;
        }
    }

    QApplication app(argc, argv);
    for (int i = 1; i < argc; ++i) {
        std::fprintf(stderr, "tesmira: unknown option %s (try --help)\n", argv[i]);
        return 2;
    }
    QApplication::setApplicationName("tesmira");
    QApplication::setApplicationVersion(TESMIRA_VERSION);
    QApplication::setWindowIcon(QIcon(":/tesmira/tesmira.png"));
    CoInitialize(nullptr);

    int status = 0;
    {
        tesmira::NextObjectNumber = 1;
        tesmira::SettingsStore settings;
        const tesmira::AtrTable atrTable = tesmira::LoadAtrTable(settings);
        tesmira::MainWindow window(tesmira::Cardolo(), atrTable, settings);
        window.show();
        status = QApplication::exec();
    }
    CoUninitialize();
    return status;
}
