// Container names: percent escaping, the label/serial split and the reader-qualified forms.
#include "container_name.h"

namespace tvx {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string percentEncode(const std::vector<std::uint8_t>& id) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(id.size());
    for (std::uint8_t b : id) {
        if (b < 0x20 || b > 0x7E || b == '%') {
            out += '%';
            out += kDigits[b >> 4];
            out += kDigits[b & 15];
        } else {
            out += static_cast<char>(b);
        }
    }
    return out;
}

std::vector<std::uint8_t> percentDecode(std::string_view label) {
    std::vector<std::uint8_t> out;
    out.reserve(label.size());
    for (std::size_t i = 0; i < label.size(); ++i) {
        if (label[i] == '%' && i + 2 < label.size()) {
            const int hi = hexValue(label[i + 1]);
            const int lo = hexValue(label[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(static_cast<std::uint8_t>(label[i]));
    }
    return out;
}

SplitName splitContainerName(std::string_view name) {
    const auto at = name.rfind(kSeparator);
    if (at == std::string_view::npos) {
        return {std::string(name), std::nullopt};
    }
    return {std::string(name.substr(0, at)), std::string(name.substr(at + 1))};
}

ContainerArgument parseContainerArgument(const char* container) {
    ContainerArgument arg;
    if (container == nullptr) {
        return arg;
    }
    const std::string_view text(container);
    if (!text.starts_with(kReaderPrefix)) {
        arg.containerName = std::string(text);
        return arg;
    }
    arg.readerQualified = true;
    const std::string_view rest = text.substr(kReaderPrefix.size());
    const auto slash = rest.find('\\');
    if (slash != std::string_view::npos && slash + 1 < rest.size()) {
        arg.reader = std::string(rest.substr(0, slash));
        arg.containerName = std::string(rest.substr(slash + 1));
        return arg;
    }
    // Reader only: at most one trailing '\' to drop; the container comes from the token.
    arg.reader = std::string(slash == std::string_view::npos ? rest : rest.substr(0, slash));
    arg.needsSmartLogonLookup = true;
    return arg;
}

std::string makeContainerName(const std::vector<std::uint8_t>& id, std::string_view serial) {
    std::string name = percentEncode(id);
    const std::string trimmed = trimTrailingBlanks(serial);
    if (!trimmed.empty()) {
        name += kSeparator;
        name += trimmed;
    }
    return name;
}

std::string trimTrailingBlanks(std::string_view text) {
    const auto end = text.find_last_not_of(' ');
    return end == std::string_view::npos ? std::string() : std::string(text.substr(0, end + 1));
}

}  // namespace tvx
