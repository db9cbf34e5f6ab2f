// Form localisation for Qt widgets: forms and controls carry message numbers, replaced on load.
#pragma once

#include <functional>
#include <optional>
#include <string>

class QWidget;

namespace tesmira {

// Where a form's texts come from: numbered messages and the string resources that may name the
// font (20: family, 21: point size). The defaults are the manager's LoadMessage and the
// program's string resources; other programs pass their own.
struct FormTexts {
    std::function<std::string(long)> message;
    std::function<std::optional<std::string>(unsigned)> resourceString;
};

FormTexts ManagerFormTexts();

// Replaces every message number of a form by its text, skipping silently whatever fails:
// - the form's title from its "tag" property;
// - the form's font family and size from string resources 20 and 21 when they exist, and that
//   font given to every control;
// - a label's text from its tag; a menu item's text that holds a number; a tab bar's tab text
//   from the tab's data and its tooltip from the number in the tab tooltip; a toolbar action's
//   tooltip from its number; a list or table view's column header from the header's
//   Qt::UserRole data;
// - any other control: its caption (button text, group box title) from its tag and its tooltip
//   from the number in its tooltip, each when that number is above 0.
// "tag" is a dynamic property holding a number or its decimal text.
void LocalizeForm(QWidget* form, const FormTexts& texts = ManagerFormTexts());

}  // namespace tesmira
