// FormatMessageA and LoadStringA over the tables of this program and of a loaded library.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "env_guard.h"
#include "win/errhandlingapi.h"
#include "win/libloaderapi.h"
#include "win/winbase_messages.h"
#include "win/winerror.h"
#include "win/winnls.h"
#include "win/winuser_strings.h"

namespace {

constexpr DWORD kFromModule = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS;

// Formats a message of a module into a 4096-byte buffer, as the suite's callers do; returns the
// text and leaves the call's result in count and error.
std::string format(DWORD flags, LPCVOID source, DWORD id, DWORD language, DWORD* count = nullptr,
                   DWORD* error = nullptr, va_list* args = nullptr) {
    char buffer[4096];
    std::memset(buffer, 'x', sizeof(buffer));
    SetLastError(0xDEAD);
    DWORD n = FormatMessageA(flags, source, id, language, buffer, sizeof(buffer), args);
    if (count) {
        *count = n;
    }
    if (error) {
        *error = GetLastError();
    }
    return n ? std::string(buffer, n) : std::string();
}

std::string fromString(const char* text, DWORD flags = FORMAT_MESSAGE_IGNORE_INSERTS,
                       const DWORD_PTR* args = nullptr, DWORD* error = nullptr) {
    return format(FORMAT_MESSAGE_FROM_STRING | flags, text, 0, 0, nullptr, error,
                  reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
}

TEST(FormatMessageEscapes, FollowTheWindowsRules) {
    // Stored texts end with CR LF unless %0 cuts them short.
    EXPECT_EQ(format(kFromModule, nullptr, 1, 0x0409), "Program English");
    EXPECT_EQ(format(kFromModule, nullptr, 2, 0x0409), "Line one\r\nLine two\r\n");
    EXPECT_EQ(format(kFromModule | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr, 2, 0x0409),
              "Line one Line two");
    EXPECT_EQ(format(kFromModule, nullptr, 7, 0x0409), "Hard\r\nbreak\tand .! done");
    // Inserts are left as written when ignored; %% still becomes %.
    EXPECT_EQ(format(kFromModule, nullptr, 3, 0x0409), "Cost: 100% of %1!d! cards for %2");
    EXPECT_EQ(fromString("%%08X%0 never"), "%08X");
    EXPECT_EQ(fromString("tail %"), "tail ");

    // A text that is nothing but %0 formats to zero characters: a success with no text.
    DWORD count = 1;
    DWORD error = 0;
    format(kFromModule, nullptr, 8, 0x0409, &count, &error);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
}

TEST(FormatMessageInserts, FillFromAnArrayAndRefuseWhatCannotBeFilled) {
    DWORD_PTR args[] = {42, reinterpret_cast<DWORD_PTR>("readers")};
    char buffer[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr,
                             3, 0x0409, buffer, sizeof(buffer), reinterpret_cast<va_list*>(args));
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::string(buffer, n), "Cost: 100% of 42 cards for readers");

    DWORD_PTR numbers[] = {static_cast<DWORD_PTR>(-5), 0xBEEF};
    EXPECT_EQ(fromString("%1!d!/%2!04X!/%2!u!%0", FORMAT_MESSAGE_ARGUMENT_ARRAY, numbers),
              "-5/BEEF/48879");

    // A wide insert is taken whole; one wider than any message may be is refused, not allocated.
    EXPECT_EQ(fromString("%1!600d!%0", FORMAT_MESSAGE_ARGUMENT_ARRAY, numbers).size(), 600u);
    DWORD error = 0;
    EXPECT_EQ(fromString("%2!999999999s!", FORMAT_MESSAGE_ARGUMENT_ARRAY, args, &error), "");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(fromString("needs %1", 0, nullptr, &error), "");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(fromString("%1!n!", FORMAT_MESSAGE_ARGUMENT_ARRAY, numbers, &error), "");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(fromString("%1!*d!", FORMAT_MESSAGE_ARGUMENT_ARRAY, numbers, &error), "");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(fromString("%1!d", FORMAT_MESSAGE_ARGUMENT_ARRAY, numbers, &error), "");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(FormatMessageLookup, ReportsWhyNothingWasFound) {
    DWORD count = 1;
    DWORD error = 0;
    EXPECT_EQ(format(kFromModule, nullptr, 999, 0x0409, &count, &error), "");
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));

    format(kFromModule, nullptr, 5, 0x0409, &count, &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
    // Identifiers keep their severity bits.
    EXPECT_EQ(format(kFromModule, nullptr, 0xC0000004, 0x0409), "Import Error.");
    EXPECT_EQ(format(kFromModule, nullptr, 0xC0000004, 0x040A),
              "Error durante la importación.\r\n");

    // The system table has nothing; neither source flag is a bad call.
    format(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0, &count,
           &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    format(FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 1, 0, &count, &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    format(kFromModule | 80, nullptr, 1, 0x0409, &count, &error);  // line wrapping at 80
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(FormatMessageLanguageZero, SearchesNeutralThreadUserSystemEnglishThenAny) {
    EnvGuard env({{"LANG", "de_DE.UTF-8"}});
    // Neutral wins over English.
    EXPECT_EQ(format(kFromModule, nullptr, 4, 0), "Neutral text");
    // The thread's language wins over English, and English over the rest.
    EXPECT_EQ(format(kFromModule, nullptr, 1, 0), "Program English");
    ASSERT_TRUE(SetThreadLocale(0x0410));
    EXPECT_EQ(format(kFromModule, nullptr, 1, 0), "Programma italiano");
    SetThreadLocale(LOCALE_USER_DEFAULT);
    {
        EnvGuard italian({{"LANG", "it_IT.UTF-8"}});
        EXPECT_EQ(format(kFromModule, nullptr, 1, 0), "Programma italiano");
    }
    // Found in neither of those: the lowest language the message has.
    EXPECT_EQ(format(kFromModule, nullptr, 6, 0), "Ελληνικά");
    EXPECT_EQ(format(kFromModule, nullptr, 5, 0), "Solo italiano");
}

TEST(FormatMessageModules, EachModuleAnswersFromItsOwnTable) {
    HMODULE module = LoadLibraryA("msgtest_module.dll");
    ASSERT_NE(module, nullptr) << "the test library is built beside this program";
    EXPECT_EQ(format(kFromModule, module, 1, 0x0409), "Module English");
    EXPECT_EQ(format(kFromModule, nullptr, 1, 0x0409), "Program English");
    DWORD error = 0;
    format(kFromModule, module, 2, 0x0409, nullptr, &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    // From inside the library, with its own copy of the messages area and its own handle.
    using FormatOwn = DWORD (*)(DWORD, LPSTR, DWORD);
    auto formatOwn = ProcAs<FormatOwn>(GetProcAddress(module, "MsgTestFormatOwn"));
    ASSERT_NE(formatOwn, nullptr);
    char own[64] = {};
    ASSERT_EQ(formatOwn(1, own, sizeof(own)), 14u);
    EXPECT_STREQ(own, "Module English");
    FreeLibrary(module);

    // A table left out of the export list: found from inside the library, where it was
    // registered, and invisible from outside, as an unexported table should be.
    HMODULE hidden = LoadLibraryA("msgtest_hidden.dll");
    ASSERT_NE(hidden, nullptr) << "the test library is built beside this program";
    auto hiddenOwn = ProcAs<FormatOwn>(GetProcAddress(hidden, "MsgTestHiddenFormatOwn"));
    ASSERT_NE(hiddenOwn, nullptr);
    EXPECT_EQ(GetProcAddress(hidden, "VantorGetMessageTable"), nullptr);
    std::memset(own, 0, sizeof(own));
    ASSERT_EQ(hiddenOwn(1, own, sizeof(own)), 14u);
    EXPECT_STREQ(own, "Module English");
    format(kFromModule, hidden, 1, 0x0409, nullptr, &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    FreeLibrary(hidden);

    // A library without a table: libm is always there and knows nothing of ours.
    HMODULE plain = LoadLibraryA("libm.so.6");
    ASSERT_NE(plain, nullptr);
    format(kFromModule, plain, 1, 0x0409, nullptr, &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    FreeLibrary(plain);
}

TEST(FormatMessageBuffers, NeverWritePastTheCallersBuffer) {
    // "Program English" is 15 characters: 16 bytes fit, 15 do not, and nothing is written then.
    char exact[16];
    EXPECT_EQ(FormatMessageA(kFromModule, nullptr, 1, 0x0409, exact, sizeof(exact), nullptr), 15u);
    EXPECT_STREQ(exact, "Program English");

    char guard[32];
    std::memset(guard, 'x', sizeof(guard));
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(kFromModule, nullptr, 1, 0x0409, guard, 15, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(guard, sizeof(guard)), std::string(sizeof(guard), 'x'));

    SetLastError(0);
    EXPECT_EQ(FormatMessageA(kFromModule, nullptr, 1, 0x0409, nullptr, 10, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Allocated: at least the requested size, freed with LocalFree.
    LPSTR allocated = nullptr;
    DWORD n = FormatMessageA(kFromModule | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 2, 0x0409,
                             reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(std::string(allocated, n), "Line one\r\nLine two\r\n");
    EXPECT_EQ(allocated[n], '\0');
    EXPECT_EQ(LocalFree(allocated), nullptr);
}

TEST(LoadString, CopiesTruncatesAndReportsMissingStrings) {
    char buffer[16];
    EXPECT_EQ(LoadStringA(nullptr, 20, buffer, sizeof(buffer)), 6);
    EXPECT_STREQ(buffer, "Tahoma");
    EXPECT_EQ(LoadStringA(nullptr, 20, buffer, 4), 3);
    EXPECT_STREQ(buffer, "Tah");
    SetLastError(0);
    EXPECT_EQ(LoadStringA(nullptr, 22, buffer, sizeof(buffer)), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(LoadStringA(nullptr, 20, buffer, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
