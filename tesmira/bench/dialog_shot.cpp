// Shows one PIN entry dialog, as the manager would, until it is closed: for screenshots of the
// dialogs in every mode and language without a card.
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstring>

#include "change_pin_dlg.h"

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "1") != 0 && std::strcmp(argv[1], "2") != 0)) {
        std::fprintf(stderr, "usage: tesmira_dialog_shot 1|2 pin|puk|unblock\n");
        return 2;
    }
    using tesmira::PinDialogMode;
    const PinDialogMode mode = std::strcmp(argv[2], "puk") == 0       ? PinDialogMode::ChangePuk
                               : std::strcmp(argv[2], "unblock") == 0 ? PinDialogMode::Unblock
                                                                      : PinDialogMode::ChangePin;
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(artwork);
    QApplication::setWindowIcon(QIcon(":/tesmira/tesmira.png"));
    std::unique_ptr<tesmira::ChangePinDlg> dialog;
    if (argv[1][0] == '2') {
        dialog = std::make_unique<tesmira::ChangePinDlg2>();
    } else {
        dialog = std::make_unique<tesmira::ChangePinDlg>();
    }
    dialog->form.setMode(mode);
    dialog->exec();
    return 0;
}
