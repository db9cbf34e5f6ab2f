// Shows one window of the other-functions panel, as the manager would, until it is closed: the
// certificate list or the card information of the card in the first reader, or the import
// dialog, for screenshots in every language.
#include <QApplication>
#include <QIcon>
#include <QLineEdit>
#include <cstdio>
#include <cstring>
#include <string>

#include "atr_table.h"
#include "cardolo_library.h"
#include "cert_list_dialog.h"
#include "import_p12_dlg.h"
#include "reader_watch.h"
#include "settings_store.h"
#include "win/objbase.h"
#include "win/winuser.h"

namespace {

class QuietView final : public tesmira::CardView {
  public:
    void ShowNoCard() override {}
    void ShowCard() override {}
    void SetWaitCursor(bool) override {}
    bool AskInitializePin() override { return false; }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || (std::strcmp(argv[1], "list") != 0 && std::strcmp(argv[1], "info") != 0 &&
                      std::strcmp(argv[1], "import") != 0)) {
        std::fprintf(stderr, "usage: tesmira_contents_shot list|info|import\n");
        return 2;
    }
    CoInitialize(nullptr);
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(artwork);
    QApplication::setWindowIcon(QIcon(":/tesmira/tesmira.png"));
    if (std::strcmp(argv[1], "import") == 0) {
        tesmira::ImportP12Dlg dialog(nullptr);
        dialog.p12FileEdt->setText("/home/user/certificates/holder.p12");
        dialog.exec();
        return 0;
    }
    tesmira::SettingsStore settings;
    const tesmira::AtrTable table = tesmira::LoadAtrTable(settings);
    QuietView view;
    tesmira::ReaderWatch watch(tesmira::Cardolo(), table, view);
    watch.loading = false;
    watch.Tick();
    tesmira::SmartCardCls& card = watch.card();
    if (std::strcmp(argv[1], "list") == 0) {
        tesmira::CertListDialog dialog(nullptr);
        dialog.Init(card.Certificates());
        dialog.exec();
    } else {
        std::string text;
        try {
            text = card.DetailedInfosText();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "no card information: %s\n", e.what());
            return 1;
        }
        MessageBoxA(nullptr, text.c_str(), "Tesmira", MB_ICONINFORMATION);
    }
    return 0;
}
