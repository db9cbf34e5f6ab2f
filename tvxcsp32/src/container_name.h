// Container names: percent escaping of key IDs, the label/serial split and the reader-qualified
// forms an application may pass to CPAcquireContext.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvx {

inline constexpr char kSeparator = '@';
inline constexpr std::string_view kReaderPrefix = "\\\\.\\";

// Bytes below 0x20, above 0x7E and '%' become "%XX" (uppercase hex); all others stay.
std::string percentEncode(const std::vector<std::uint8_t>& id);
// "%XX" with two hex digits (either case) becomes that byte; everything else, including a '%'
// without two hex digits behind it, is kept as it is.
std::vector<std::uint8_t> percentDecode(std::string_view label);

// A container name split at its last separator: the ContainerLabel and the serial filter
// (absent without a separator).
struct SplitName {
    std::string label;
    std::optional<std::string> serial;
};
SplitName splitContainerName(std::string_view name);

// The container argument of CPAcquireContext as parsed:
// - "\\.\reader\container": reader and container, readerQualified;
// - "\\.\reader" or "\\.\reader\": reader only, the smart-logon lookup names the container;
// - anything else: the name as it is.
struct ContainerArgument {
    bool readerQualified = false;
    bool needsSmartLogonLookup = false;
    std::optional<std::string> reader;
    std::optional<std::string> containerName;
};
ContainerArgument parseContainerArgument(const char* container);

// The name written for a key: its encoded ID, and "@serial" when the serial (with trailing
// blanks removed) is not empty.
std::string makeContainerName(const std::vector<std::uint8_t>& id, std::string_view serial);

// Removes trailing blanks (the padding of PKCS#11 text fields).
std::string trimTrailingBlanks(std::string_view text);

}  // namespace tvx
