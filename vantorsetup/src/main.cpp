// The vantorsetup program: --help and --version, otherwise the main dialog, whose result is the
// exit code.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include <string>

#include "main_dialog.h"
#include "ui/qt_host.h"
#include "vantor/cli.h"
#include "win/objbase.h"

namespace {

const char kHelp[] =
    "Usage: vantorsetup [--help] [--version]\n"
    "Provider setup: imports the smart card's certificates into your certificate stores,\n"
    "or chooses which of your certificates the card provider marks for SmartLogon.\n"
    "\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "The dialog reads no other arguments and keeps no settings. Texts follow the locale\n"
    "(LC_ALL, LC_MESSAGES, LANG); English is the fall-back. Exit ends with status 2.\n";

int UnknownOption(const char* option) {
    return vantor::cli::UsageError("vantorsetup", std::string("unknown option '") + option + "'",
                                   2);
}

}  // namespace

int main(int argc, char** argv) {
    if (vantor::cli::HandleStandardOptions(argc, argv, "vantorsetup", kHelp)) {
        return 0;
    }
    // Qt's own options are given with one dash; a double-dash word is a mistake.
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) == 0) {
            return UnknownOption(argv[i]);
        }
    }
    // Without a display Qt would abort; say so instead.
    if (!vantor::ui::displayAvailable()) {
        std::fprintf(stderr, "vantorsetup: no display to show the dialog on\n");
        return 1;
    }
    QApplication app(argc, argv);
    // Whatever Qt did not take as its own is not an option of the program.
    if (argc > 1) {
        return UnknownOption(argv[1]);
    }
    QApplication::setApplicationName("vantorsetup");
    QApplication::setApplicationVersion(vantor::cli::Version());
    QApplication::setWindowIcon(vantorsetup::programIcon());
    CoInitialize(nullptr);
    int status = 0;
    {
        // Owned by the active window, if the program has one yet.
        vantorsetup::MainDialog dialog(QApplication::activeWindow());
        status = dialog.exec();
    }
    CoUninitialize();
    return status;
}
