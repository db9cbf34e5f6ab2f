// The configuration parser: what a valid file yields, and that every kind of bad line is refused
// with its line number.
#include "config.h"

#include <gtest/gtest.h>

#include <string>

namespace cardtoken {
namespace {

std::string str(const Secret& s) {
    return std::string(s.begin(), s.end());
}

TEST(CardTokenConfig, SectionsDefaultsAndObjects) {
    const Config c = parseConfig(R"(
# comment
[module]
token_dir = tokens
softhsm = /opt/softhsm.so

[default]
label = "  Bench Token  "
user_pin = 4321
protected_path = on
object = cert ca.pem label=CA

[card 1000000000000201]
label = CNS Token
model = CNS
user_pin_initialized = no
pin_dialog = yes
; another comment
[card 4d34000000000302]
object = pkcs12 /abs/k.p12 password="pa ss" label="M4 \"Key\"" id=0A1b
object = pem k.pem c.pem
)",
                                 "/base");
    EXPECT_EQ(c.tokenDir, "/base/tokens");
    EXPECT_EQ(c.softhsmModule, "/opt/softhsm.so");
    EXPECT_EQ(c.defaults.label, "  Bench Token  ") << "quotes keep the blanks";
    EXPECT_EQ(str(c.defaults.userPin), "4321");
    EXPECT_EQ(str(c.defaults.soPin), "12345678") << "built-in default";
    EXPECT_TRUE(c.defaults.protectedPath);
    ASSERT_EQ(c.defaults.objects.size(), 1u);
    EXPECT_EQ(c.defaults.objects[0].files.at(0), "/base/ca.pem");

    const TokenSpec& cns = c.forSerial("1000000000000201");
    EXPECT_EQ(cns.label, "CNS Token");
    EXPECT_EQ(cns.model, "CNS");
    EXPECT_FALSE(cns.userPinInitialized);
    EXPECT_EQ(str(cns.userPin), "4321") << "settings come from [default]";
    EXPECT_TRUE(cns.protectedPath);
    EXPECT_TRUE(cns.objects.empty()) << "objects of [default] are not inherited";
    EXPECT_TRUE(cns.pinDialog);
    EXPECT_FALSE(c.defaults.pinDialog) << "PINs come from the configuration unless asked";

    const TokenSpec& m4 = c.forSerial("4d34000000000302");
    ASSERT_EQ(m4.objects.size(), 2u);
    EXPECT_EQ(m4.objects[0].kind, ObjectSpec::Kind::Pkcs12);
    EXPECT_EQ(m4.objects[0].files.at(0), "/abs/k.p12");
    EXPECT_EQ(str(m4.objects[0].password), "pa ss");
    EXPECT_EQ(m4.objects[0].label, "M4 \"Key\"");
    EXPECT_EQ(m4.objects[0].id, (std::vector<unsigned char>{0x0A, 0x1B}));
    EXPECT_EQ(m4.objects[1].kind, ObjectSpec::Kind::Pem);
    EXPECT_EQ(m4.objects[1].files, (std::vector<std::string>{"/base/k.pem", "/base/c.pem"}));

    EXPECT_EQ(&c.forSerial("ffffffffffffffff"), &c.defaults) << "an unknown card";
}

TEST(CardTokenConfig, BadFilesAreRefusedWithTheLine) {
    const std::string head = "[module]\ntoken_dir = t\n";
    const struct {
        const char* text;
        const char* expected;  // part of the message
    } cases[] = {
        {"", "token_dir is missing"},
        {"[module]\n", "token_dir is missing"},
        {"token_dir = t\n", "line 1: setting outside a section"},
        {"[module\n", "line 1: section header without ']'"},
        {"[module]\ntoken_dir = t\n[modules]\n", "line 3: unknown section [modules]"},
        {"[module]\ntoken_dir = t\n[module]\n", "line 3: section [module] appears twice"},
        {"[module]\ntoken_dir\n", "line 2: expected name = value"},
        {"[module]\ntoken_dir = \n", "line 2: token_dir is empty"},
        {"[module]\ntokendir = t\n", "line 2: unknown setting \"tokendir\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            parseConfig(c.text, "/b");
            ADD_FAILURE() << "accepted";
        } catch (const ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
        }
    }
    const struct {
        const char* body;
        const char* expected;
    } tokenCases[] = {
        {"[card ]\n", "line 3: card serial must be"},
        {"[card 12345678901234567]\n", "line 3: card serial must be"},
        {"[default]\nlabel = 123456789012345678901234567890123\n",
         "line 4: label must have 1 to 32"},
        {"[default]\nmodel = 12345678901234567\n", "line 4: model must have 1 to 16"},
        {"[default]\nuser_pin = 123\n", "line 4: user_pin must have 4 to 255"},
        {"[default]\nso_pin =\n", "line 4: so_pin must have 4 to 255"},
        {"[default]\nprotected_path = maybe\n", "line 4: protected_path must be yes or no"},
        {"[default]\npin_dialog = 1x\n", "line 4: pin_dialog must be yes or no"},
        {"[default]\nobject =\n", "line 4: object needs a kind"},
        {"[default]\nobject = pfx a.pfx\n", "line 4: unknown object kind \"pfx\""},
        {"[default]\nobject = pem k.pem\n", "line 4: pem takes 2 file(s)"},
        {"[default]\nobject = cert a b\n", "line 4: cert takes 1 file(s)"},
        {"[default]\nobject = cert a.pem id=123\n", "line 4: id must have an even number"},
        {"[default]\nobject = cert a.pem id=zz\n", "line 4: id must be hexadecimal"},
        {"[default]\nobject = cert a.pem colour=red\n", "line 4: unknown object option"},
        {"[default]\nobject = cert \"a.pem\n", "line 4: unterminated quote"},
        {"[default]\nlabel = \"a\" b\n", "line 4: text after the closing quote"},
        {"[card 1]\nuser_pin_initialized = no\nobject = cert a.pem\n",
         "line 3: objects need user_pin_initialized = yes"},
        {"[card 1]\n[card 1]\n", "line 4: section [card 1] appears twice"},
    };
    for (const auto& c : tokenCases) {
        SCOPED_TRACE(c.body);
        try {
            parseConfig(head + c.body, "/b");
            ADD_FAILURE() << "accepted";
        } catch (const ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
        }
    }
}

TEST(CardTokenConfig, UnreadableFileNamesThePath) {
    try {
        loadConfig("/nonexistent/cardtoken.conf");
        ADD_FAILURE() << "accepted";
    } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/cardtoken.conf"), std::string::npos);
    }
}

}  // namespace
}  // namespace cardtoken
