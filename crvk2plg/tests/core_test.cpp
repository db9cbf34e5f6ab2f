// The plug-in's core without its exports: OK judgement order, language mapping, bounded copy and
// the wiping of typed secrets from the fields.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <cstring>
#include <string>

#include "form_logic.h"
#include "pin_form.h"
#include "services.h"
#include "texts.h"

namespace crvk2plg {

TEST(FormLogic, ChecksRunInOrder) {
    const struct {
        FormKind kind;
        const char* first;
        const char* newValue;
        const char* repeat;
        bool accept;
        DWORD text;
        DWORD caption;
        Field focus;
        bool clear;
    } cases[] = {
        {FormKind::PinEntry, "", "", "", false, 17, 18, Field::First, false},
        {FormKind::PinEntry, "1", "", "", true, 0, 0, Field::First, false},
        // The first field wins whatever the others hold.
        {FormKind::ChangePin, "", "", "x", false, 17, 18, Field::First, false},
        {FormKind::ChangePin, "1", "", "x", false, 21, 22, Field::New, false},
        {FormKind::ChangePin, "1", "a", "A", false, 25, 26, Field::New, true},
        {FormKind::ChangePin, "1", "a", "a", true, 0, 0, Field::First, false},
        {FormKind::ChangePuk, "", "a", "a", false, 19, 20, Field::First, false},
        {FormKind::ChangePuk, "1", "", "", false, 23, 24, Field::New, false},
        {FormKind::ChangePuk, "1", "ab", "a", false, 27, 28, Field::New, true},
        {FormKind::Unblock, "", "", "", false, 19, 20, Field::First, false},
        {FormKind::Unblock, "1", "", "", false, 21, 22, Field::New, false},
        {FormKind::Unblock, "1", "é", "e", false, 25, 26, Field::New, true},
        {FormKind::Unblock, "1", "é", "é", true, 0, 0, Field::First, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + "|" + c.newValue + "|" + c.repeat);
        const Verdict v = judge(c.kind, c.first, c.newValue, c.repeat);
        EXPECT_EQ(v.accept, c.accept);
        EXPECT_EQ(v.message.text, c.text);
        EXPECT_EQ(v.message.caption, c.caption);
        if (!c.accept) {
            EXPECT_EQ(v.focus, c.focus);
        }
        EXPECT_EQ(v.clearNewFields, c.clear);
    }
}

TEST(Texts, SystemLanguageMapping) {
    const struct {
        WORD system;
        WORD looked;
    } cases[] = {{0x0810, 0x0410}, {0x0C0A, 0x040A}, {0x0410, 0x0410},
                 {0x0407, 0x0407}, {0x0409, 0x0409}, {0x0809, 0x0809}};
    for (const auto& c : cases) {
        EXPECT_EQ(mapTextLanguage(c.system), c.looked) << std::hex << c.system;
    }
}

TEST(BoundedCopy, StrncpyContract) {
    const struct {
        const char* text;
        std::size_t textLength;
        uint32_t length;
        std::string expected;  // buffer contents including one guard byte
    } cases[] = {
        {"abcd", 4, 4, "abcd#"},
        {"abcdef", 6, 4, "abcd#"},
        {"ab", 2, 4, std::string("ab\0\0#", 5)},
        {"a\0bc", 4, 4, std::string("a\0\0\0#", 5)},  // cut at the first zero byte
        {"abc", 3, 0, "#"},
    };
    for (const auto& c : cases) {
        std::string buffer(c.length + 1, '#');
        boundedCopy(buffer.data(), c.length,
                    {reinterpret_cast<const std::uint8_t*>(c.text), c.textLength});
        EXPECT_EQ(buffer, c.expected);
    }
}

TEST(PinFields, WipingOverwritesTheWidgetsOwnBuffer) {
    static int argc = 1;
    static char name[] = "crvk2plg_core_test";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QLineEdit edit;
    edit.setEchoMode(QLineEdit::Password);
    edit.setText(QString::fromUtf8("secret-1234"));  // heap data, as typed text is
    // A copy taken before the wipe shares the widget's buffer; after the wipe it must hold no
    // trace of the PIN.
    const QString shared = edit.text();
    const QChar* data = shared.constData();
    ASSERT_EQ(shared.size(), 11);
    wipeLineEdit(&edit);
    EXPECT_TRUE(edit.text().isEmpty());
    for (qsizetype i = 0; i < 11; ++i) {
        EXPECT_EQ(data[i].unicode(), 0) << "character " << i << " survived";
    }
}

}  // namespace crvk2plg
