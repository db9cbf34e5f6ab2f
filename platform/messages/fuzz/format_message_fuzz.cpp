// Fuzzes FormatMessageA's escape and insert handling and the POSIX locale parser with arbitrary
// text: nothing may be read or written outside the caller's buffer, whatever the text says.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "win/winbase_messages.h"
#include "win/winnls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t mode = data[0];
    const DWORD bufferSize = data[1];
    std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

    VantorLangIdFromPosixLocale(text.c_str());

    // Every insert may be read as a string or a number, so every argument is a valid string.
    static const char kInsert[] = "insert";
    std::vector<DWORD_PTR> args(99, reinterpret_cast<DWORD_PTR>(kInsert));
    DWORD flags = FORMAT_MESSAGE_FROM_STRING;
    if (mode & 1) {
        flags |= FORMAT_MESSAGE_IGNORE_INSERTS;
    }
    if (mode & 2) {
        flags |= FORMAT_MESSAGE_MAX_WIDTH_MASK;
    }
    va_list* arguments = nullptr;
    if (mode & 4) {
        flags |= FORMAT_MESSAGE_ARGUMENT_ARRAY;
        arguments = reinterpret_cast<va_list*>(args.data());
    }
    if (mode & 8) {
        LPSTR allocated = nullptr;
        DWORD n = FormatMessageA(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, text.c_str(), 0, 0,
                                 reinterpret_cast<LPSTR>(&allocated), bufferSize, arguments);
        if (allocated != nullptr && allocated[n] != '\0') {
            __builtin_trap();
        }
        LocalFree(allocated);
    } else {
        // Exactly the stated size, so the sanitizer sees any write past it.
        std::vector<char> buffer(bufferSize);
        DWORD n = FormatMessageA(flags, text.c_str(), 0, 0, buffer.data(), bufferSize, arguments);
        if (n != 0 && (n >= bufferSize || buffer[n] != '\0')) {
            __builtin_trap();
        }
    }
    return 0;
}
