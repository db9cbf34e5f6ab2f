// Parser of the fault module's configuration text.
#include "fault_config.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace vantor::faultp11 {
namespace {

constexpr std::array<const char*, static_cast<std::size_t>(Fn::Count)> kNames = {
    "C_GetFunctionList",
    "C_Initialize",
    "C_Finalize",
    "C_GetInfo",
    "C_GetSlotList",
    "C_GetSlotInfo",
    "C_GetTokenInfo",
    "C_InitToken",
    "C_InitPIN",
    "C_SetPIN",
    "C_OpenSession",
    "C_CloseSession",
    "C_CloseAllSessions",
    "C_GetSessionInfo",
    "C_Login",
    "C_Logout",
    "C_CreateObject",
    "C_DestroyObject",
    "C_GetAttributeValue",
    "C_SetAttributeValue",
    "C_FindObjectsInit",
    "C_FindObjects",
    "C_FindObjectsFinal",
    "unsupported"};

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

// Decimal or 0x-prefixed hexadecimal, the whole text, within max.
bool parseNumber(std::string_view text, unsigned long max, unsigned long* out) {
    const std::string s(trim(text));
    if (s.empty() || s[0] == '-' || s[0] == '+') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || end == s.c_str() || *end != 0 || v > max) {
        return false;
    }
    *out = static_cast<unsigned long>(v);
    return true;
}

int hexDigit(char c) {
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

// Text values keep their blanks; "\xHH" gives any byte (a NUL, a ';'), "\\" a backslash.
bool unescape(std::string_view text, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out->push_back(text[i]);
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            out->push_back('\\');
            ++i;
            continue;
        }
        if (i + 3 < text.size() && text[i + 1] == 'x') {
            const int hi = hexDigit(text[i + 2]);
            const int lo = hexDigit(text[i + 3]);
            if (hi >= 0 && lo >= 0) {
                out->push_back(static_cast<char>(hi * 16 + lo));
                i += 3;
                continue;
            }
        }
        return false;
    }
    return true;
}

bool parseSlotList(std::string_view text, std::vector<CK_SLOT_ID>* out) {
    out->clear();
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        unsigned long id = 0;
        if (!parseNumber(item, ~0UL, &id)) {
            return false;
        }
        out->push_back(id);
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
    }
    return !out->empty();
}

// "<slot>:<text>" with the text unescaped.
bool parseSlotText(std::string_view text, CK_SLOT_ID* slot, std::string* value) {
    const std::size_t colon = text.find(':');
    unsigned long id = 0;
    if (colon == std::string_view::npos || !parseNumber(text.substr(0, colon), ~0UL, &id)) {
        return false;
    }
    *slot = id;
    return unescape(text.substr(colon + 1), value);
}

bool parseFailRule(std::string_view text, FailRule* rule) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const auto fn = FnFromName(trim(text.substr(0, colon)));
    if (!fn) {
        return false;
    }
    rule->fn = *fn;
    std::string_view rest = text.substr(colon + 1);
    const std::size_t at = rest.find('@');
    unsigned long rv = 0;
    if (!parseNumber(rest.substr(0, at), 0xFFFFFFFFUL, &rv)) {
        return false;
    }
    rule->rv = rv;
    if (at != std::string_view::npos) {
        std::string_view n = trim(rest.substr(at + 1));
        if (!n.empty() && n.back() == '+') {
            rule->orLater = true;
            n.remove_suffix(1);
        }
        if (!parseNumber(n, ~0UL, &rule->at) || rule->at == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

const char* FnName(Fn fn) {
    const auto i = static_cast<std::size_t>(fn);
    return i < kNames.size() ? kNames[i] : "?";
}

std::optional<Fn> FnFromName(std::string_view name) {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (name == kNames[i]) {
            return static_cast<Fn>(i);
        }
    }
    return std::nullopt;
}

std::optional<Config> ParseConfig(std::string_view spec, std::string* error) {
    Config config;
    auto fail = [&](std::string_view directive, const char* why) -> std::optional<Config> {
        if (error != nullptr) {
            *error = std::string(why) + ": \"" + std::string(directive) + "\"";
        }
        return std::nullopt;
    };

    while (!spec.empty()) {
        const std::size_t end = spec.find_first_of(";\n");
        const std::string_view raw = spec.substr(0, end);
        spec.remove_prefix(end == std::string_view::npos ? spec.size() : end + 1);
        const std::string_view directive = trim(raw);
        if (directive.empty() || directive.front() == '#') {
            continue;
        }
        const std::size_t eq = directive.find('=');
        const std::string_view key = trim(directive.substr(0, eq));
        // Text values keep their blanks: only the blanks before '=' are dropped.
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view() : raw.substr(raw.find('=') + 1);

        if (key == "preinitialized") {
            unsigned long on = 1;
            if (eq != std::string_view::npos && !parseNumber(value, 1, &on)) {
                return fail(directive, "expected 0 or 1");
            }
            config.preinitialized = on != 0;
        } else if (eq == std::string_view::npos) {
            return fail(directive, "expected <key>=<value>");
        } else if (key == "slots") {
            if (!parseNumber(value, kMaxSlots, &config.slots)) {
                return fail(directive, "slot count out of range");
            }
        } else if (key == "first_slot") {
            if (!parseNumber(value, ~0UL - kMaxSlots, &config.firstSlot)) {
                return fail(directive, "bad slot id");
            }
        } else if (key == "no_user_pin") {
            std::vector<CK_SLOT_ID> ids;
            if (!parseSlotList(value, &ids)) {
                return fail(directive, "expected slot ids separated by ','");
            }
            config.noUserPin.insert(ids.begin(), ids.end());
        } else if (key == "empty" || key == "foreign" || key == "uninitialized") {
            std::vector<CK_SLOT_ID> ids;
            if (!parseSlotList(value, &ids)) {
                return fail(directive, "expected slot ids separated by ','");
            }
            const TokenKind kind = key == "empty"     ? TokenKind::Empty
                                   : key == "foreign" ? TokenKind::Foreign
                                                      : TokenKind::Uninitialized;
            for (const CK_SLOT_ID id : ids) {
                config.kinds[id] = kind;
            }
        } else if (key == "label" || key == "serial" || key == "model" || key == "manufacturer") {
            CK_SLOT_ID slot = 0;
            std::string text;
            if (!parseSlotText(value, &slot, &text)) {
                return fail(directive, "expected <slot>:<text> (escapes \\xHH and \\\\)");
            }
            auto& target = key == "label"    ? config.labels
                           : key == "serial" ? config.serials
                           : key == "model"  ? config.models
                                             : config.manufacturers;
            target[slot] = text;
        } else if (key == "user_pin" || key == "so_pin") {
            std::string pin;
            if (!unescape(value, &pin) || pin.empty()) {
                return fail(directive, "bad PIN");
            }
            (key == "user_pin" ? config.userPin : config.soPin) = pin;
        } else if (key == "pin_tries") {
            if (!parseNumber(value, kMaxPinTries, &config.pinTries) || config.pinTries == 0) {
                return fail(directive, "tries out of range");
            }
        } else if (key == "objects") {
            if (!parseNumber(value, kMaxExtraObjects, &config.extraObjects)) {
                return fail(directive, "object count out of range");
            }
        } else if (key == "delay_us") {
            if (!parseNumber(value, kMaxDelayMicros, &config.delayMicros)) {
                return fail(directive, "delay out of range");
            }
        } else if (key == "fail") {
            FailRule rule;
            if (!parseFailRule(value, &rule)) {
                return fail(directive, "expected fail=C_Name:rv[@n[+]]");
            }
            config.failures.push_back(rule);
        } else {
            return fail(directive, "unknown directive");
        }
    }
    // Each initialized token carries its standard objects plus the extra ones: bound the total.
    if (config.slots * (5 + config.extraObjects) > kMaxObjectsInAll) {
        return fail("objects", "too many objects over all slots");
    }
    // Every slot a directive names must exist, or the directive would silently do nothing.
    auto inRange = [&](CK_SLOT_ID id) {
        return id >= config.firstSlot && id - config.firstSlot < config.slots;
    };
    for (const auto* m : {&config.labels, &config.serials, &config.models, &config.manufacturers}) {
        for (const auto& [id, text] : *m) {
            if (!inRange(id)) {
                return fail(std::to_string(id), "no such slot");
            }
        }
    }
    for (const CK_SLOT_ID id : config.noUserPin) {
        if (!inRange(id)) {
            return fail(std::to_string(id), "no such slot");
        }
    }
    for (const auto& [id, kind] : config.kinds) {
        if (!inRange(id)) {
            return fail(std::to_string(id), "no such slot");
        }
    }
    return config;
}

}  // namespace vantor::faultp11
