// LoadMessage's last resort: the optional language library beside the program.
#include <gtest/gtest.h>

#include <ostream>

#include "env_guard.h"
#include "messages.h"
#include "win/libloaderapi.h"

namespace {

struct LibraryCase {
    const char* locale;
    long id;
    const char* expected;
};

// Names the case in test output.
void PrintTo(const LibraryCase& c, std::ostream* os) {
    *os << c.locale << " " << c.id;
}

class LanguageLibrary : public ::testing::TestWithParam<LibraryCase> {
  protected:
    void SetUp() override {
        HMODULE library = LoadLibraryA(tesmira::kLanguageLibrary);
        ASSERT_NE(library, nullptr) << "the test language library is built beside this program";
        FreeLibrary(library);
    }
};

TEST_P(LanguageLibrary, ServesWhatTheProgramLacksInTheMappedLanguage) {
    EnvGuard env({{"LANG", GetParam().locale}});
    EXPECT_EQ(tesmira::LoadMessage(GetParam().id), GetParam().expected) << GetParam().locale;
}

INSTANTIATE_TEST_SUITE_P(Locales, LanguageLibrary,
                         ::testing::Values(
                             // Hong Kong and Macau read Traditional Chinese, Singapore Simplified,
                             // Spain (modern sort) Spanish.
                             LibraryCase{"zh_HK.UTF-8", 1900, "只在語言庫中"},
                             LibraryCase{"zh_MO.UTF-8", 1900, "只在語言庫中"},
                             LibraryCase{"zh_TW.UTF-8", 1900, "只在語言庫中"},
                             LibraryCase{"zh_SG.UTF-8", 1900, "只在语言库中"},
                             LibraryCase{"zh_CN.UTF-8", 1900, "只在语言库中"},
                             LibraryCase{"es_ES.UTF-8", 1900, "Solo en la biblioteca"},
                             // Not there in the mapped language: the library's language 0 search.
                             LibraryCase{"de_DE.UTF-8", 1900, "Only in the library"},
                             LibraryCase{"de_DE.UTF-8", 1901, "Solo nella libreria"},
                             // The program's own table comes first, in its language 0 search too.
                             LibraryCase{"it_IT.UTF-8", 1101, "PIN Errato"},
                             LibraryCase{"de_DE.UTF-8", 1101, "Wrong PIN"},
                             // An insert nobody fills stays as text instead of losing the message.
                             LibraryCase{"en_US.UTF-8", 1902, "Insert %1 here"},
                             // Found nowhere.
                             LibraryCase{"it_IT.UTF-8", 1999, ""}));

}  // namespace
