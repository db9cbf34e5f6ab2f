// LocalizeForm over a real widget tree, and the window placement round trip, under Qt offscreen.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <memory>

#include "env_guard.h"
#include "localize_form.h"
#include "registry_sandbox.h"
#include "settings_store.h"
#include "window_placement.h"
#include "window_position.h"

namespace {

QApplication& app() {
    static int argc = 1;
    static char name[] = "tesmira_forms_test";
    static char* argv[] = {name, nullptr};
    static QApplication instance(argc, argv);
    return instance;
}

// A form designed with message numbers in every place LocalizeForm looks.
struct DesignedForm {
    std::unique_ptr<QWidget> form = std::make_unique<QWidget>();
    QLabel* reader = new QLabel("design: reader");
    QLabel* untagged = new QLabel("stays");
    QPushButton* exit = new QPushButton("design: exit");
    QPushButton* zeroTag = new QPushButton("keeps its text");
    QGroupBox* group = new QGroupBox("design: group");
    QTabWidget* tabs = new QTabWidget;
    QToolBar* toolbar = new QToolBar;
    QTreeWidget* list = new QTreeWidget;
    QMenuBar* menuBar = new QMenuBar;
    QAction* menuExit = nullptr;
    QAction* toolChangePin = nullptr;

    DesignedForm() {
        form->setProperty("tag", 1005);
        reader->setProperty("tag", "1039");
        exit->setProperty("tag", 1015);
        exit->setToolTip("1017");
        zeroTag->setProperty("tag", 0);
        zeroTag->setToolTip("plain tooltip");
        group->setProperty("tag", 1008);
        tabs->addTab(new QWidget, "design: tab 1");
        tabs->addTab(new QWidget, "design: tab 2");
        tabs->tabBar()->setTabData(0, 1041);
        tabs->setTabToolTip(0, "1018");
        tabs->tabBar()->setTabData(1, QString("1009"));
        toolChangePin = toolbar->addAction("design: change pin");
        toolChangePin->setToolTip("1012");
        list->setColumnCount(2);
        list->headerItem()->setData(0, Qt::UserRole, 1052);
        list->headerItem()->setData(1, Qt::UserRole, 1053);
        QMenu* menu = menuBar->addMenu("1010");
        menuExit = menu->addAction("1015");
        menu->addSeparator();
        menu->addAction("About...");

        auto* layout = new QVBoxLayout(form.get());
        layout->setMenuBar(menuBar);
        for (QWidget* w : std::initializer_list<QWidget*>{reader, untagged, exit, zeroTag, group,
                                                          tabs, toolbar, list}) {
            layout->addWidget(w);
        }
    }
};

TEST(LocalizeForm, ReplacesEveryMessageNumberFromTheCatalogue) {
    app();
    EnvGuard env({{"LANG", "it_IT.UTF-8"}});
    DesignedForm d;
    tesmira::LocalizeForm(d.form.get());

    EXPECT_EQ(d.form->windowTitle(), "Quorin Control Center");
    EXPECT_EQ(d.reader->text(), "Lettore");
    EXPECT_EQ(d.untagged->text(), "stays");
    EXPECT_EQ(d.exit->text(), "Esci");
    EXPECT_EQ(d.exit->toolTip(), "Mostra il contenuto della SmartCard");
    EXPECT_EQ(d.zeroTag->text(), "keeps its text");
    EXPECT_EQ(d.zeroTag->toolTip(), "plain tooltip");
    EXPECT_EQ(d.group->title(), "Gestione PIN/PUK");
    EXPECT_EQ(d.tabs->tabText(0), "Certificati");
    EXPECT_EQ(d.tabs->tabToolTip(0), "Informazioni sulla SmartCard");
    EXPECT_EQ(d.tabs->tabText(1), "Firma Digitale");
    EXPECT_EQ(d.toolChangePin->toolTip(), "Cambia PIN");
    EXPECT_EQ(d.list->headerItem()->text(0), "Etichetta");
    EXPECT_EQ(d.list->headerItem()->text(1), "Soggetto");
    EXPECT_EQ(d.menuBar->actions().at(0)->text(), "Altre funzioni");
    EXPECT_EQ(d.menuExit->text(), "Esci");
}

TEST(LocalizeForm, TakesTheFontFromStringResourcesWhenTheyExist) {
    app();
    int calls = 0;
    tesmira::FormTexts texts;
    texts.message = [&](long id) {
        ++calls;
        return "#" + std::to_string(id);
    };

    // No resources: the designed font stays, and every control gets the form's font.
    {
        DesignedForm d;
        QFont designed = d.form->font();
        designed.setPointSizeF(13);
        d.form->setFont(designed);
        QFont odd = designed;
        odd.setPointSizeF(20);
        d.exit->setFont(odd);
        texts.resourceString = [](unsigned) { return std::optional<std::string>(); };
        tesmira::LocalizeForm(d.form.get(), texts);
        EXPECT_EQ(d.form->font().pointSizeF(), 13);
        EXPECT_EQ(d.exit->font().pointSizeF(), 13);
        EXPECT_EQ(d.form->windowTitle(), "#1005");
        EXPECT_GT(calls, 0);
    }
    // Resources 20 and 21 name the font; a size that is no number leaves the size alone.
    for (const char* size : {"11", "eleven"}) {
        DesignedForm d;
        QFont designed = d.form->font();
        designed.setPointSizeF(13);
        d.form->setFont(designed);
        texts.resourceString = [size](unsigned id) -> std::optional<std::string> {
            if (id == 20) {
                return "Serif Test Face";
            }
            if (id == 21) {
                return size;
            }
            return std::nullopt;
        };
        tesmira::LocalizeForm(d.form.get(), texts);
        const double expected = std::string(size) == "11" ? 11 : 13;
        for (QWidget* w : {static_cast<QWidget*>(d.form.get()), static_cast<QWidget*>(d.reader),
                           static_cast<QWidget*>(d.list)}) {
            EXPECT_EQ(w->font().family(), "Serif Test Face") << size;
            EXPECT_EQ(w->font().pointSizeF(), expected) << size;
        }
    }
}

TEST(WindowPlacement, NextStartOpensWhereTheWindowWasClosed) {
    app();
    RegistrySandbox sandbox;
    ASSERT_TRUE(sandbox.ready()) << "no private registry directory";
    tesmira::SettingsStore store;

    QWidget first;
    tesmira::PlaceWindowFromSettings(&first, store);
    EXPECT_EQ(first.pos(), QPoint(67, 67));  // 1000 twips by default
    first.resize(400, 300);
    first.show();
    first.move(120, 90);
    ASSERT_TRUE(tesmira::SaveWindowPlacement(&first, store));
    EXPECT_EQ(store.get("Settings", "MainLeft"), "1800");
    EXPECT_EQ(store.get("Settings", "MainWidth"),
              std::to_string(first.frameGeometry().width() * 15));

    QWidget second;
    tesmira::PlaceWindowFromSettings(&second, store);
    EXPECT_EQ(second.pos(), QPoint(120, 90));

    // Closed minimised somewhere else: the next start still uses the place before.
    second.show();
    second.move(500, 500);
    second.showMinimized();
    ASSERT_TRUE(second.isMinimized());
    ASSERT_TRUE(tesmira::SaveWindowPlacement(&second, store));
    QWidget third;
    tesmira::PlaceWindowFromSettings(&third, store);
    EXPECT_EQ(third.pos(), QPoint(120, 90));
}

}  // namespace
