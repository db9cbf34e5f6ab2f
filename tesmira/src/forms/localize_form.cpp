// LocalizeForm over the Qt widget tree of a form.
#include "localize_form.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSet>
#include <QTabBar>
#include <QToolBar>
#include <QVariant>
#include <QWidget>
#include <array>

#include "messages.h"
#include "win/winuser_strings.h"

namespace tesmira {

namespace {

// The number a tag, caption or tooltip holds: an integer, or text that is exactly a decimal
// number (blanks around it allowed). Anything else holds no number.
std::optional<long> numberIn(const QVariant& value) {
    if (!value.isValid() || value.isNull()) {
        return std::nullopt;
    }
    bool ok = false;
    long number = 0;
    if (value.typeId() == QMetaType::QString) {
        number = value.toString().trimmed().toLong(&ok);
    } else {
        number = static_cast<long>(value.toLongLong(&ok));
    }
    return ok ? std::optional<long>(number) : std::nullopt;
}

std::optional<long> numberIn(const QString& text) {
    return numberIn(QVariant(text));
}

std::optional<long> tagOf(const QObject* object) {
    return numberIn(object->property("tag"));
}

QString text(const FormTexts& texts, long id) {
    return texts.message ? QString::fromStdString(texts.message(id)) : QString();
}

void localizeTabs(QTabBar* tabs, const FormTexts& texts) {
    for (int i = 0; i < tabs->count(); ++i) {
        if (std::optional<long> tag = numberIn(tabs->tabData(i))) {
            tabs->setTabText(i, text(texts, *tag));
        }
        if (std::optional<long> tip = numberIn(tabs->tabToolTip(i))) {
            tabs->setTabToolTip(i, text(texts, *tip));
        }
    }
}

void localizeColumns(QAbstractItemView* view, const FormTexts& texts) {
    QAbstractItemModel* model = view->model();
    if (model == nullptr) {
        return;
    }
    for (int column = 0; column < model->columnCount(); ++column) {
        if (std::optional<long> tag =
                numberIn(model->headerData(column, Qt::Horizontal, Qt::UserRole))) {
            model->setHeaderData(column, Qt::Horizontal, text(texts, *tag), Qt::DisplayRole);
        }
    }
}

void localizeOther(QWidget* widget, const FormTexts& texts) {
    std::optional<long> tag = tagOf(widget);
    if (tag && *tag > 0) {
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            button->setText(text(texts, *tag));
        } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
            group->setTitle(text(texts, *tag));
        }
    }
    std::optional<long> tip = numberIn(widget->toolTip());
    if (tip && *tip > 0) {
        widget->setToolTip(text(texts, *tip));
    }
}

void applyFont(QWidget* form, const QList<QWidget*>& controls, const FormTexts& texts) {
    QFont font = form->font();
    if (texts.resourceString) {
        if (std::optional<std::string> family = texts.resourceString(20)) {
            font.setFamily(QString::fromStdString(*family));
        }
        if (std::optional<std::string> size = texts.resourceString(21)) {
            bool ok = false;
            double points = QString::fromStdString(*size).trimmed().toDouble(&ok);
            if (ok && points > 0 && points < 1000) {
                font.setPointSizeF(points);
            }
        }
    }
    form->setFont(font);
    for (QWidget* control : controls) {
        control->setFont(font);
    }
}

}  // namespace

FormTexts ManagerFormTexts() {
    FormTexts texts;
    texts.message = [](long id) { return LoadMessage(id); };
    texts.resourceString = [](unsigned id) -> std::optional<std::string> {
        std::array<char, 1024> buffer{};
        int n = LoadStringA(nullptr, id, buffer.data(), static_cast<int>(buffer.size()));
        if (n <= 0) {
            return std::nullopt;
        }
        return std::string(buffer.data(), static_cast<size_t>(n));
    };
    return texts;
}

void LocalizeForm(QWidget* form, const FormTexts& texts) {
    if (form == nullptr) {
        return;
    }
    if (std::optional<long> tag = tagOf(form)) {
        form->setWindowTitle(text(texts, *tag));
    }
    const QList<QWidget*> controls = form->findChildren<QWidget*>();
    applyFont(form, controls, texts);

    // Menu items: the text of every menu and menu-bar entry (submenu titles included) may hold
    // a number. Actions shared by several menus are translated once.
    QSet<QAction*> menuActions;
    for (QWidget* control : controls) {
        if (qobject_cast<QMenu*>(control) != nullptr || qobject_cast<QMenuBar*>(control)) {
            for (QAction* action : control->actions()) {
                menuActions.insert(action);
            }
        }
    }
    for (QAction* action : menuActions) {
        if (std::optional<long> number = numberIn(action->text())) {
            action->setText(text(texts, *number));
        }
    }

    for (QWidget* control : controls) {
        if (qobject_cast<QMenu*>(control) != nullptr || qobject_cast<QMenuBar*>(control)) {
            continue;  // done above
        }
        if (auto* label = qobject_cast<QLabel*>(control)) {
            if (std::optional<long> tag = tagOf(label)) {
                label->setText(text(texts, *tag));
            }
        } else if (auto* tabs = qobject_cast<QTabBar*>(control)) {
            localizeTabs(tabs, texts);
        } else if (auto* toolbar = qobject_cast<QToolBar*>(control)) {
            for (QAction* action : toolbar->actions()) {
                if (std::optional<long> tip = numberIn(action->toolTip())) {
                    action->setToolTip(text(texts, *tip));
                }
            }
        } else if (qobject_cast<QHeaderView*>(control) != nullptr) {
            continue;  // a view's header is handled with its view
        } else if (auto* view = qobject_cast<QAbstractItemView*>(control)) {
            localizeColumns(view, texts);
        } else {
            localizeOther(control, texts);
        }
    }
}

}  // namespace tesmira
