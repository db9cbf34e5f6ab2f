// Configuration parser: an INI file of [module], [default] and [card SERIAL] sections.
#include "config.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace cardtoken {
namespace {

constexpr std::size_t kMaxFileSize = 1 << 20;
constexpr std::size_t kMinPin = 4;    // SoftHSM2's own limits, checked here so that a bad
constexpr std::size_t kMaxPin = 255;  // PIN is reported by line rather than at first sight
constexpr std::size_t kMaxIdBytes = 64;

[[noreturn]] void fail(int line, const std::string& why) {
    throw ConfigError("line " + std::to_string(line) + ": " + why);
}

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) {
        ++b;
    }
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) {
        --e;
    }
    return s.substr(b, e - b);
}

// Splits an object line into words; a word or the value after '=' may be double-quoted, with
// \" and \\ inside quotes.
std::vector<std::string> words(const std::string& s, int line) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) {
            ++i;
        }
        if (i >= s.size()) {
            break;
        }
        std::string word;
        bool quoted = false;
        while (i < s.size() && (quoted || !std::isspace(static_cast<unsigned char>(s[i])))) {
            const char c = s[i++];
            if (c == '"') {
                quoted = !quoted;
            } else if (quoted && c == '\\' && i < s.size()) {
                word.push_back(s[i++]);
            } else {
                word.push_back(c);
            }
        }
        if (quoted) {
            fail(line, "unterminated quote");
        }
        out.push_back(std::move(word));
    }
    return out;
}

// A single value: surrounding blanks dropped, or kept inside double quotes.
std::string value(const std::string& raw, int line) {
    const std::string v = trim(raw);
    if (!v.empty() && v.front() == '"') {
        const auto w = words(v, line);
        if (w.size() != 1) {
            fail(line, "text after the closing quote");
        }
        return w.front();
    }
    return v;
}

bool flag(const std::string& v, int line, const std::string& key) {
    std::string l;
    for (char c : v) {
        l.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    if (l == "yes" || l == "true" || l == "on" || l == "1") {
        return true;
    }
    if (l == "no" || l == "false" || l == "off" || l == "0") {
        return false;
    }
    fail(line, key + " must be yes or no, not \"" + v + "\"");
}

std::string text(const std::string& v, std::size_t width, int line, const std::string& key) {
    if (v.empty() || v.size() > width) {
        fail(line, key + " must have 1 to " + std::to_string(width) + " bytes");
    }
    return v;
}

Secret pin(const std::string& v, int line, const std::string& key) {
    if (v.size() < kMinPin || v.size() > kMaxPin) {
        fail(line, key + " must have " + std::to_string(kMinPin) + " to " +
                       std::to_string(kMaxPin) + " characters");
    }
    return Secret(reinterpret_cast<const std::uint8_t*>(v.data()), v.size());
}

std::vector<unsigned char> hexId(const std::string& v, int line) {
    auto nibble = [&](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        fail(line, "id must be hexadecimal");
    };
    if (v.empty() || v.size() % 2 != 0 || v.size() / 2 > kMaxIdBytes) {
        fail(line,
             "id must have an even number of hex digits, 2 to " + std::to_string(2 * kMaxIdBytes));
    }
    std::vector<unsigned char> out;
    for (std::size_t i = 0; i < v.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(nibble(v[i]) << 4 | nibble(v[i + 1])));
    }
    return out;
}

std::string absolute(const std::string& path, const std::string& baseDir) {
    if (path.empty() || path.front() == '/' || baseDir.empty()) {
        return path;
    }
    return baseDir + "/" + path;
}

ObjectSpec object(const std::string& v, const std::string& baseDir, int line) {
    auto w = words(v, line);
    if (w.empty()) {
        fail(line, "object needs a kind: pkcs12, pem or cert");
    }
    ObjectSpec o;
    std::size_t files = 0;
    if (w[0] == "pkcs12") {
        o.kind = ObjectSpec::Kind::Pkcs12;
        files = 1;
    } else if (w[0] == "pem") {
        o.kind = ObjectSpec::Kind::Pem;
        files = 2;
    } else if (w[0] == "cert") {
        o.kind = ObjectSpec::Kind::Cert;
        files = 1;
    } else {
        fail(line, "unknown object kind \"" + w[0] + "\" (pkcs12, pem or cert)");
    }
    std::size_t i = 1;
    for (; i < w.size() && w[i].find('=') == std::string::npos; ++i) {
        o.files.push_back(absolute(w[i], baseDir));
    }
    if (o.files.size() != files) {
        fail(line, w[0] + " takes " + std::to_string(files) + " file(s)");
    }
    for (; i < w.size(); ++i) {
        const auto eq = w[i].find('=');
        if (eq == std::string::npos) {
            fail(line, "option \"" + w[i] + "\" is not name=value");
        }
        const std::string k = w[i].substr(0, eq), val = w[i].substr(eq + 1);
        if (k == "password") {
            o.password = Secret(reinterpret_cast<const std::uint8_t*>(val.data()), val.size());
        } else if (k == "label") {
            o.label = text(val, 255, line, "label");
        } else if (k == "id") {
            o.id = hexId(val, line);
        } else {
            fail(line, "unknown object option \"" + k + "\"");
        }
        // The option word held the password: wipe it before the vector frees it.
        vantor::secureWipe(w[i].data(), w[i].size());
    }
    return o;
}

struct Entry {
    int line;
    std::string key, raw;
};

struct Section {
    int line = 0;
    std::vector<Entry> entries;
};

void applyToken(TokenSpec& t, const Section& s, const std::string& baseDir) {
    for (const Entry& e : s.entries) {
        if (e.key == "object") {
            t.objects.push_back(object(e.raw, baseDir, e.line));
            continue;
        }
        const std::string v = value(e.raw, e.line);
        if (e.key == "label") {
            t.label = text(v, 32, e.line, e.key);
        } else if (e.key == "model") {
            t.model = text(v, 16, e.line, e.key);
        } else if (e.key == "manufacturer") {
            t.manufacturer = text(v, 32, e.line, e.key);
        } else if (e.key == "so_pin") {
            t.soPin = pin(v, e.line, e.key);
        } else if (e.key == "user_pin") {
            t.userPin = pin(v, e.line, e.key);
        } else if (e.key == "user_pin_initialized") {
            t.userPinInitialized = flag(v, e.line, e.key);
        } else if (e.key == "protected_path") {
            t.protectedPath = flag(v, e.line, e.key);
        } else if (e.key == "pin_dialog") {
            t.pinDialog = flag(v, e.line, e.key);
        } else {
            fail(e.line, "unknown setting \"" + e.key + "\"");
        }
    }
    // Objects are written after a user login, which an uninitialised user PIN cannot give.
    if (!t.userPinInitialized && !t.objects.empty()) {
        fail(s.line, "objects need user_pin_initialized = yes");
    }
}

TokenSpec builtinDefaults() {
    TokenSpec t;
    t.soPin = pin("12345678", 0, "so_pin");
    t.userPin = pin("1234", 0, "user_pin");
    return t;
}

bool validSerial(const std::string& s) {
    if (s.empty() || s.size() > 16) {
        return false;
    }
    for (char c : s) {
        if (!std::isgraph(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

}  // namespace

const TokenSpec& Config::forSerial(const std::string& serial) const {
    const auto it = cards.find(serial);
    return it != cards.end() ? it->second : defaults;
}

Config parseConfig(const std::string& text, const std::string& baseDir) {
    if (text.size() > kMaxFileSize) {
        throw ConfigError("the file is larger than 1 MiB");
    }
    Section module, defaults;
    std::map<std::string, Section> cards;
    // The raw values hold PINs and passwords: wiped once parsed, whatever the outcome (declared
    // after the sections, so it runs before they are freed).
    struct Wipe {
        Section& module;
        Section& defaults;
        std::map<std::string, Section>& cards;
        static void wipe(Section& s) {
            for (Entry& e : s.entries) {
                vantor::secureWipe(e.raw.data(), e.raw.size());
            }
        }
        ~Wipe() {
            wipe(module);
            wipe(defaults);
            for (auto& [serial, section] : cards) {
                wipe(section);
            }
        }
    } wipe{module, defaults, cards};
    Section* current = nullptr;
    std::set<std::string> seen;
    std::istringstream in(text);
    int n = 0;
    for (std::string raw; std::getline(in, raw);) {
        ++n;
        const std::string line = trim(raw);
        // Both copies of the line may hold a PIN: wiped on every way out of this iteration.
        struct LineWipe {
            std::string& raw;
            const std::string& line;
            ~LineWipe() {
                vantor::secureWipe(raw.data(), raw.size());
                vantor::secureWipe(const_cast<char*>(line.data()), line.size());
            }
        } lineWipe{raw, line};
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') {
                fail(n, "section header without ']'");
            }
            const std::string name = trim(line.substr(1, line.size() - 2));
            if (!seen.insert(name).second) {
                fail(n, "section [" + name + "] appears twice");
            }
            if (name == "module") {
                current = &module;
            } else if (name == "default") {
                current = &defaults;
            } else if (name == "card" || name.rfind("card ", 0) == 0) {
                const std::string serial = trim(name.substr(4));
                if (!validSerial(serial)) {
                    fail(n, "card serial must be 1 to 16 printable characters without blanks");
                }
                current = &cards[serial];
            } else {
                fail(n, "unknown section [" + name + "] (module, default or card SERIAL)");
            }
            current->line = n;
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            fail(n, "expected name = value");
        }
        if (current == nullptr) {
            fail(n, "setting outside a section");
        }
        current->entries.push_back({n, trim(line.substr(0, eq)), line.substr(eq + 1)});
    }

    Config c;
    for (const Entry& e : module.entries) {
        const std::string v = value(e.raw, e.line);
        if (e.key == "token_dir") {
            if (v.empty()) {
                fail(e.line, "token_dir is empty");
            }
            c.tokenDir = absolute(v, baseDir);
        } else if (e.key == "softhsm") {
            if (v.empty()) {
                fail(e.line, "softhsm is empty");
            }
            c.softhsmModule = absolute(v, baseDir);
        } else {
            fail(e.line, "unknown setting \"" + e.key + "\" in [module]");
        }
    }
    if (c.tokenDir.empty()) {
        throw ConfigError("[module] token_dir is missing");
    }
    c.defaults = builtinDefaults();
    applyToken(c.defaults, defaults, baseDir);
    for (const auto& [serial, section] : cards) {
        // A card inherits the settings of [default], not its objects.
        TokenSpec t = c.defaults;
        t.objects.clear();
        applyToken(t, section, baseDir);
        c.cards.emplace(serial, std::move(t));
    }
    return c;
}

Config loadConfig(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        throw ConfigError("cannot read " + path);
    }
    std::string text;
    char buf[4096];
    while (f.read(buf, sizeof buf) || f.gcount() > 0) {
        text.append(buf, static_cast<std::size_t>(f.gcount()));
        if (text.size() > kMaxFileSize) {
            throw ConfigError(path + ": larger than 1 MiB");
        }
    }
    // Relative paths inside the file are taken from its directory, made absolute now so that
    // a later change of the working directory does not move them.
    std::error_code ec;
    const std::string baseDir =
        std::filesystem::absolute(std::filesystem::path(path), ec).parent_path().string();
    try {
        Config c = parseConfig(text, baseDir);
        vantor::secureWipe(text.data(), text.size());
        return c;
    } catch (const ConfigError& e) {
        vantor::secureWipe(text.data(), text.size());
        throw ConfigError(path + ": " + e.what());
    }
}

}  // namespace cardtoken
