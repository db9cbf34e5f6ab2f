// The vantorsetup program: --help and --version, otherwise the main dialog, whose result is the
// exit code.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "main_dialog.h"
#include "ui/qt_host.h"
#include "win/objbase.h"

namespace {

void printHelp() {
    std::printf(
        "Usage: vantorsetup [--help] [--version]\n"
        "Provider setup: imports the smart card's certificates into your certificate stores,\n"
        "or chooses which of your certificates the card provider marks for SmartLogon.\n"
        "\n"
        "  --help     show this text and exit\n"
        "  --version  show the version and exit\n"
        "\n"
        "The dialog reads no other arguments and keeps no settings. Texts follow the locale\n"
        "(LC_ALL, LC_MESSAGES, LANG); English is the fall-back. Exit ends with status 2.\n");
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printHelp();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("vantorsetup %s\n", VANTORSETUP_VERSION);
            return 0;
        }
    }
    // Without a display Qt would abort; say so instead.
    if (!vantor::ui::displayAvailable()) {
        std::fprintf(stderr, "vantorsetup: no display to show the dialog on\n");
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("vantorsetup");
    QApplication::setApplicationVersion(VANTORSETUP_VERSION);
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
