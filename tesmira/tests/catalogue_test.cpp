// The manager's catalogue: completeness in every language and LoadMessage's choice of language.
#include <gtest/gtest.h>

#include <ostream>

#include <set>
#include <string>
#include <string_view>

#include "env_guard.h"
#include "message_table.h"
#include "messages.h"
#include "win/winbase_messages.h"

namespace {

constexpr WORD kLanguages[] = {1033, 1040, 1032, 1034, 1028, 2052};

std::set<DWORD> expectedIds() {
    std::set<DWORD> ids;
    for (DWORD id = 1000; id <= 1054; ++id) {
        if (id != 1024 && id != 1029) {
            ids.insert(id);
        }
    }
    for (DWORD id = 1100; id <= 1128; ++id) {
        ids.insert(id);
    }
    return ids;
}

std::string_view stored(const VANTOR_MESSAGE_TABLE& table, DWORD id, WORD language) {
    for (DWORD i = 0; i < table.messageCount; ++i) {
        const VANTOR_MESSAGE_ENTRY& e = table.messages[i];
        if (e.id == id && e.language == language) {
            return {e.text, e.length};
        }
    }
    return {};
}

TEST(Catalogue, EveryMessageExistsInEveryLanguageAndEndsWithTheTerminator) {
    const VANTOR_MESSAGE_TABLE* table = VantorFindMessageTable(nullptr);
    ASSERT_NE(table, nullptr) << "the program carries the manager's table";
    const std::set<DWORD> ids = expectedIds();
    ASSERT_EQ(ids.size(), 82u);

    std::set<std::pair<DWORD, WORD>> present;
    for (DWORD i = 0; i < table->messageCount; ++i) {
        present.emplace(table->messages[i].id, table->messages[i].language);
        EXPECT_TRUE(ids.count(table->messages[i].id)) << "unexpected id " << table->messages[i].id;
    }
    // The six required languages, and any language added to the catalogue since.
    std::set<WORD> languages(std::begin(kLanguages), std::end(kLanguages));
    for (DWORD i = 0; i < table->messageCount; ++i) {
        languages.insert(table->messages[i].language);
    }
    for (WORD language : languages) {
        for (DWORD id : ids) {
            std::string_view text = stored(*table, id, language);
            ASSERT_FALSE(text.empty()) << "message " << id << " missing in " << language;
            // Stored as written plus the compiler's line break; %0 keeps that break out.
            EXPECT_TRUE(text.ends_with("%0\r\n")) << id << "/" << language << ": " << text;
            EXPECT_EQ(std::string_view(text).substr(0, text.size() - 4).find("%0"),
                      std::string_view::npos)
                << id << "/" << language;
            // Placeholders callers replace must survive translation.
            std::string_view english = stored(*table, id, 1033);
            for (std::string_view placeholder : {"$min$", "$max$"}) {
                EXPECT_EQ(english.find(placeholder) != std::string_view::npos,
                          text.find(placeholder) != std::string_view::npos)
                    << id << "/" << language << " " << placeholder;
            }
        }
    }
    EXPECT_EQ(present.size(), ids.size() * languages.size());
}

TEST(Catalogue, ChineseTablesCarryTheEnglishTexts) {
    const VANTOR_MESSAGE_TABLE* table = VantorFindMessageTable(nullptr);
    ASSERT_NE(table, nullptr);
    for (DWORD id : expectedIds()) {
        EXPECT_EQ(stored(*table, id, 1028), stored(*table, id, 1033)) << id;
        EXPECT_EQ(stored(*table, id, 2052), stored(*table, id, 1033)) << id;
    }
}

struct LocaleCase {
    const char* locale;
    long id;
    const char* expected;
};

// Names the case in test output.
void PrintTo(const LocaleCase& c, std::ostream* os) {
    *os << c.locale << " " << c.id;
}

class LoadMessageByLocale : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(LoadMessageByLocale, ChoosesTheTableOfTheThreadLocale) {
    EnvGuard env({{"LANG", GetParam().locale}});
    EXPECT_EQ(tesmira::LoadMessage(GetParam().id), GetParam().expected) << GetParam().locale;
}

INSTANTIATE_TEST_SUITE_P(
    Locales, LoadMessageByLocale,
    ::testing::Values(LocaleCase{"en_US.UTF-8", 1101, "Wrong PIN"},
                      LocaleCase{"en_US.UTF-8", 1005, "Quorin Control Center"},
                      LocaleCase{"it_IT.UTF-8", 1100, "Errore durante il cambio del PIN"},
                      LocaleCase{"it_IT.UTF-8", 1101, "PIN Errato"},
                      LocaleCase{"it_IT.UTF-8", 1105, "Operazione conclusa con successo"},
                      LocaleCase{"el_GR.UTF-8", 1101, "Λάθος PIN"},
                      // Spain's modern sort (3082) reads the Spanish table (1034).
                      LocaleCase{"es_ES.UTF-8", 1101, "PIN Erróneo"},
                      LocaleCase{"es_ES@traditional", 1101, "PIN Erróneo"},
                      // No table of their own: language 0 ends in English.
                      LocaleCase{"de_DE.UTF-8", 1101, "Wrong PIN"},
                      LocaleCase{"tlh_XX.UTF-8", 1015, "Exit"},
                      LocaleCase{"es_MX.UTF-8", 1015, "Exit"},
                      // The manager maps no other sublanguage: Italian (Switzerland) has no
                      // table of its own and reads English, unlike the provider's lookup.
                      LocaleCase{"it_CH.UTF-8", 1105, "Operation successfully completed"}));

TEST(LoadMessageLanguage, MapsTheSublanguagesWithoutATableOfTheirOwn) {
    EXPECT_EQ(tesmira::MessageLanguageFor(3082), 1034u);
    EXPECT_EQ(tesmira::MessageLanguageFor(3076), 1028u);
    EXPECT_EQ(tesmira::MessageLanguageFor(5124), 1028u);
    EXPECT_EQ(tesmira::MessageLanguageFor(4100), 2052u);
    EXPECT_EQ(tesmira::MessageLanguageFor(1040), 1040u);
    EXPECT_EQ(tesmira::MessageLanguageFor(2064), 2064u);  // Italian (Switzerland) stays
    // ... and the mapped languages have the table.
    for (LCID locale : {3076u, 5124u, 4100u, 3082u}) {
        char buffer[64];
        EXPECT_GT(
            FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, nullptr, 1015,
                           tesmira::MessageLanguageFor(locale), buffer, sizeof(buffer), nullptr),
            0u)
            << locale;
    }
}

TEST(LoadMessageMissing, IsEmptyWithoutALanguageLibrary) {
    EnvGuard env({{"LANG", "it_IT.UTF-8"}});
    EXPECT_EQ(tesmira::LoadMessage(1024), "");
    EXPECT_EQ(tesmira::LoadMessage(1900), "");
    EXPECT_EQ(tesmira::LoadMessage(20), "");  // no string resources in the program
    EXPECT_EQ(tesmira::LoadMessage(-5), "");
    // Beyond 32 bits: not message 1101 with the high bits dropped.
    EXPECT_EQ(tesmira::LoadMessage(0x100000000L + 1101), "");
}

}  // namespace
