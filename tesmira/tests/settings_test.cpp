// Per-user settings, the ATR table's keep and drop rules, and the stored window position.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "atr_table.h"
#include "registry_sandbox.h"
#include "settings_store.h"
#include "win/winreg.h"
#include "window_position.h"

namespace {

using tesmira::AtrTable;
using tesmira::SettingsStore;

class Settings : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(sandbox_.ready()) << "no private registry directory"; }

    // Writes the ATRs section as an installation would.
    void install(const std::vector<std::pair<std::string, std::string>>& values) {
        for (const auto& [key, value] : values) {
            ASSERT_TRUE(store_.save("ATRs", key, value)) << key;
        }
    }

    RegistrySandbox sandbox_;
    SettingsStore store_;
};

TEST_F(Settings, StoreKeepsStringsUnderTheProgramsSection) {
    EXPECT_EQ(store_.get("Settings", "MainLeft", "1000"), "1000");
    EXPECT_FALSE(store_.find("Settings", "MainLeft"));
    ASSERT_TRUE(store_.save("Settings", "MainLeft", "1234.5"));
    EXPECT_EQ(store_.get("Settings", "MainLeft", "1000"), "1234.5");
    EXPECT_EQ(store_.get("Other", "MainLeft", "x"), "x");
    EXPECT_EQ(SettingsStore("Someone else").get("Settings", "MainLeft", "none"), "none");

    // The key the store uses is the one other programs of the platform see.
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\VB and VBA Program Settings\\Tesmira\\Settings",
                      0, KEY_READ | KEY_SET_VALUE, &key),
        ERROR_SUCCESS);
    // A value that is not a string reads as missing.
    DWORD number = 7;
    ASSERT_EQ(RegSetValueExA(key, "MainTop", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                             sizeof(number)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(store_.get("Settings", "MainTop", "1000"), "1000");
}

TEST_F(Settings, AtrTableKeepsOnlyCompleteEntries) {
    // "ab": a is complete, b's mask is one character short of its ATR.
    install({{"list", "ab"},
             {"a-atr", "3B FF 18 00"},
             {"a-atrMask", "FF FF FF 00"},
             {"a-P11", "qrpkisc.dll"},
             {"a-name", "Card A"},
             {"a-type", "3"},
             {"b-atr", "3B 8F 80 01"},
             {"b-atrMask", "FF FF FF 0"},
             {"b-P11", "other.dll"},
             {"b-type", "4"}});
    AtrTable table = tesmira::LoadAtrTable(store_);
    ASSERT_EQ(table.size(), 1u);
    const tesmira::atrItem* a = table.find("3B FF 18 00");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->atrMask, "FF FF FF 00");
    EXPECT_EQ(a->p11, "qrpkisc.dll");
    EXPECT_EQ(a->CardType, 3);
    EXPECT_EQ(a->CardName, "Card A");
}

TEST_F(Settings, AtrTableDropsBadEntriesAndReadsOn) {
    install({{"list", "abcdefg"},
             // a: kept
             {"a-atr", "3BAA"},
             {"a-atrMask", "FFFF"},
             {"a-P11", "one.dll"},
             {"a-type", "1"},
             // b: the same ATR in other letters: dropped, a stays
             {"b-atr", "3baa"},
             {"b-atrMask", "FF00"},
             {"b-P11", "two.dll"},
             {"b-type", "2"},
             // c: type not a number
             {"c-atr", "3BCC"},
             {"c-atrMask", "FFFF"},
             {"c-P11", "three.dll"},
             {"c-type", "x7"},
             // d: no library
             {"d-atr", "3BDD"},
             {"d-atrMask", "FFFF"},
             {"d-type", "4"},
             // e: no type at all
             {"e-atr", "3BEE"},
             {"e-atrMask", "FFFF"},
             {"e-P11", "five.dll"},
             // f: type out of 16-bit range
             {"f-atr", "3BF0"},
             {"f-atrMask", "FFFF"},
             {"f-P11", "six.dll"},
             {"f-type", "40000"},
             // g: kept after all of those, type with blanks around it
             {"g-atr", "3B77"},
             {"g-atrMask", "FF00"},
             {"g-P11", "seven.dll"},
             {"g-type", " -2 "}});
    AtrTable table = tesmira::LoadAtrTable(store_);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table.items()[0].p11, "one.dll");
    EXPECT_EQ(table.items()[1].p11, "seven.dll");
    EXPECT_EQ(table.items()[1].CardType, -2);
    EXPECT_NE(table.find("3BAA"), nullptr);
    EXPECT_EQ(table.find("3BCC"), nullptr);
}

TEST_F(Settings, MissingAtrSectionGivesAnEmptyTable) {
    EXPECT_TRUE(tesmira::LoadAtrTable(store_).empty());
    install({{"list", "z"}});  // a key with nothing behind it
    EXPECT_TRUE(tesmira::LoadAtrTable(store_).empty());
}

TEST(CardType, ReadsSixteenBitNumbersOnly) {
    EXPECT_EQ(tesmira::ParseCardType("12"), std::optional<std::int16_t>(12));
    EXPECT_EQ(tesmira::ParseCardType("+7"), std::optional<std::int16_t>(7));
    EXPECT_EQ(tesmira::ParseCardType("-32768"), std::optional<std::int16_t>(-32768));
    EXPECT_EQ(tesmira::ParseCardType("2.5"), std::optional<std::int16_t>(2));  // half to even
    EXPECT_EQ(tesmira::ParseCardType("3.5"), std::optional<std::int16_t>(4));
    for (const char* bad :
         {"", "  ", "32768", "1e3", "0x10", "12abc", "--1", "+-1", "++1", "nan"}) {
        EXPECT_FALSE(tesmira::ParseCardType(bad)) << bad;
    }
}

TEST_F(Settings, WindowPositionRoundTripsAndSurvivesMinimising) {
    tesmira::TwipPoint first = tesmira::ReadWindowPosition(store_);
    EXPECT_EQ(first.left, 1000.0f);
    EXPECT_EQ(first.top, 1000.0f);

    ASSERT_TRUE(tesmira::WriteWindowPosition(store_, {1234.5f, 3000.0f, 9000.0f, 6000.0f}, false));
    EXPECT_EQ(store_.get("Settings", "MainLeft"), "1234.5");
    EXPECT_EQ(store_.get("Settings", "MainWidth"), "9000");
    EXPECT_EQ(store_.get("Settings", "MainHeight"), "6000");
    tesmira::TwipPoint moved = tesmira::ReadWindowPosition(store_);
    EXPECT_EQ(moved.left, 1234.5f);
    EXPECT_EQ(moved.top, 3000.0f);

    // Closed while minimised: the position before stays.
    ASSERT_TRUE(
        tesmira::WriteWindowPosition(store_, {-48000.0f, -48000.0f, 2400.0f, 500.0f}, true));
    tesmira::TwipPoint after = tesmira::ReadWindowPosition(store_);
    EXPECT_EQ(after.left, 1234.5f);
    EXPECT_EQ(after.top, 3000.0f);
    EXPECT_EQ(store_.get("Settings", "MainWidth"), "9000");

    // A damaged value falls back to the default.
    ASSERT_TRUE(store_.save("Settings", "MainTop", "left of the screen"));
    EXPECT_EQ(tesmira::ReadWindowPosition(store_).top, 1000.0f);
    ASSERT_TRUE(store_.save("Settings", "MainLeft", "+-300"));
    EXPECT_EQ(tesmira::ReadWindowPosition(store_).left, 1000.0f);
}

}  // namespace
