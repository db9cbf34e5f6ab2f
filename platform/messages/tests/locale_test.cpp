// Language identifiers from POSIX locales, the environment order and the per-thread locale.
#include <gtest/gtest.h>

#include <ostream>
#include <thread>

#include "env_guard.h"
#include "win/errhandlingapi.h"
#include "win/winerror.h"
#include "win/winnls.h"

namespace {

struct Mapping {
    const char* posix;
    LANGID expected;
};

void PrintTo(const Mapping& m, std::ostream* os) {
    *os << '"' << m.posix << '"';
}

class LocaleMapping : public ::testing::TestWithParam<Mapping> {};

TEST_P(LocaleMapping, MapsToTheWindowsIdentifier) {
    EXPECT_EQ(VantorLangIdFromPosixLocale(GetParam().posix), GetParam().expected)
        << GetParam().posix;
}

// The sublanguages the suite's lookups map, the spellings POSIX allows, and the fallbacks.
INSTANTIATE_TEST_SUITE_P(
    Names, LocaleMapping,
    ::testing::Values(Mapping{"es_ES.UTF-8", 0x0C0A}, Mapping{"es_ES@traditional", 0x040A},
                      Mapping{"es_MX", 0x080A}, Mapping{"es", 0x0C0A},
                      Mapping{"zh_HK.UTF-8", 0x0C04}, Mapping{"zh_MO", 0x1404},
                      Mapping{"zh_SG.GB2312", 0x1004}, Mapping{"zh_TW.UTF-8", 0x0404},
                      Mapping{"zh_CN", 0x0804}, Mapping{"it_CH.UTF-8", 0x0810},
                      Mapping{"it_IT@euro", 0x0410}, Mapping{"IT_it", 0x0410},
                      Mapping{"el_GR.UTF-8", 0x0408}, Mapping{"el_CY", 0x0408},
                      Mapping{"en_GB", 0x0809}, Mapping{"de_AT", 0x0C07}, Mapping{"de_XX", 0x0407},
                      Mapping{"C", 0x0409}, Mapping{"POSIX", 0x0409}, Mapping{"C.UTF-8", 0x0409},
                      Mapping{"", 0x0409}, Mapping{"tlh_XX.UTF-8", LOCALE_CUSTOM_UNSPECIFIED}));

TEST(LocaleEnvironment, FollowsLcAllThenLcMessagesThenLang) {
    {
        EnvGuard env({{"LANG", "it_IT.UTF-8"}, {"LC_MESSAGES", "zh_HK"}, {"LC_ALL", "es_ES"}});
        EXPECT_EQ(GetUserDefaultLangID(), 0x0C0A);
        EXPECT_EQ(GetSystemDefaultLangID(), 0x0C0A);
    }
    {
        // An empty variable counts as unset.
        EnvGuard env({{"LANG", "it_IT.UTF-8"}, {"LC_MESSAGES", "zh_HK"}, {"LC_ALL", ""}});
        EXPECT_EQ(GetUserDefaultLangID(), 0x0C04);
    }
    {
        EnvGuard env({{"LANG", "it_CH.UTF-8"}});
        EXPECT_EQ(GetUserDefaultLCID(), 0x0810u);
        EXPECT_EQ(GetThreadLocale(), 0x0810u);
    }
    {
        EnvGuard env({});
        EXPECT_EQ(GetUserDefaultLangID(), 0x0409);
    }
}

TEST(ThreadLocale, OverridesOnlyTheCallingThreadUntilReset) {
    EnvGuard env({{"LANG", "it_IT.UTF-8"}});
    ASSERT_TRUE(SetThreadLocale(0x0408));
    EXPECT_EQ(GetThreadLocale(), 0x0408u);
    LCID other = 0;
    std::thread([&] { other = GetThreadLocale(); }).join();
    EXPECT_EQ(other, 0x0410u);
    EXPECT_EQ(GetUserDefaultLangID(), 0x0410);

    EXPECT_TRUE(SetThreadLocale(LOCALE_USER_DEFAULT));
    EXPECT_EQ(GetThreadLocale(), 0x0410u);

    SetLastError(0);
    EXPECT_FALSE(SetThreadLocale(0x0C00));  // no primary language
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetThreadLocale(), 0x0410u);
}

}  // namespace
