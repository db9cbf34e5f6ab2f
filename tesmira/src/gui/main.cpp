// The tesmira program: command line, then the card manager's main window until it closes.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>

#include "atr_table.h"
#include "cardolo_library.h"
#include "main_window.h"
#include "program_state.h"
#include "settings_store.h"
#include "vantor/cli.h"
#include "win/objbase.h"

namespace {

const char kHelp[] =
    "Usage: tesmira [--help] [--version] [Qt options with one dash: -platform NAME, ...]\n"
    "Card manager: watches the smart-card readers, shows the card that is inserted and\n"
    "offers its PIN/PUK management and other functions.\n"
    "\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Settings (window position, the ATR table of known cards) are read from the per-user\n"
    "registry, key HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Tesmira.\n"
    "Texts follow the locale (LC_ALL, LC_MESSAGES, LANG); English is the fall-back.\n";

int UnknownOption(const char* option) {
    return vantor::cli::UsageError("tesmira", std::string("unknown option '") + option + "'", 2);
}

}  // namespace

int main(int argc, char** argv) {
    if (vantor::cli::HandleStandardOptions(argc, argv, "tesmira", kHelp)) {
        return 0;
    }
    // Qt's own options are given with one dash (-platform offscreen); a double-dash word is a
    // mistake, reported before Qt needs a display (without one it would abort first).
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) == 0) {
            return UnknownOption(argv[i]);
        }
    }

    QApplication app(argc, argv);
    // Whatever Qt did not take as its own is not an option of the program.
    if (argc > 1) {
        return UnknownOption(argv[1]);
    }
    QApplication::setApplicationName("tesmira");
    QApplication::setApplicationVersion(vantor::cli::Version());
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
