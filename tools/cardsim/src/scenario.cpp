// Scenario parser of the virtual card. Each line is one statement; paths name DFs and EFs below
// the MF ("1400", "0000/1111", "MF"); PIN values are text unless written hex:...
#include "scenario.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace cardsim {
namespace {

constexpr std::uint8_t kDefaultSmKey[24] = {0x5E, 0x1A, 0x9C, 0x03, 0xD2, 0x7B, 0x48, 0x6F,
                                            0x0C, 0x93, 0xA1, 0x5E, 0x7D, 0x2B, 0x64, 0xF8,
                                            0x01, 0x9E, 0x3C, 0x57, 0xA2, 0xD6, 0xB4, 0x0F};

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

unsigned long parseNumber(const std::string& text, int base, unsigned long max) {
    std::size_t used = 0;
    unsigned long v = 0;
    try {
        v = std::stoul(text, &used, base);
    } catch (const std::exception&) {
        fail("not a number: " + text);
    }
    if (used != text.size() || v > max) {
        fail("bad number: " + text);
    }
    return v;
}

std::uint16_t parseFid(const std::string& text) {
    if (text.size() != 4) {
        fail("a file identifier has four hex digits: " + text);
    }
    return static_cast<std::uint16_t>(parseNumber(text, 16, 0xFFFF));
}

std::uint8_t parseByte(const std::string& text) {
    if (text.empty() || text.size() > 2) {
        fail("expected one hex byte: " + text);
    }
    return static_cast<std::uint8_t>(parseNumber(text, 16, 0xFF));
}

std::vector<std::uint16_t> parsePath(const std::string& text) {
    std::vector<std::uint16_t> path;
    if (text == "MF" || text == "3F00") {
        return path;
    }
    std::stringstream ss(text);
    std::string part;
    while (std::getline(ss, part, '/')) {
        const std::uint16_t fid = parseFid(part);
        if (fid == 0x3F00 && path.empty()) {
            continue;  // an explicit leading MF
        }
        path.push_back(fid);
    }
    if (path.empty()) {
        fail("empty path");
    }
    return path;
}

// The DF a path names; every element must already be a declared DF.
Node* findDf(Scenario& s, const std::string& text) {
    Node* n = s.mf.get();
    for (std::uint16_t fid : parsePath(text)) {
        n = n->child(fid);
        if (n == nullptr || !n->isDf) {
            fail("no such DF (declare it first): " + text);
        }
    }
    return n;
}

Node* addNode(Scenario& s, const std::string& text, bool isDf) {
    auto path = parsePath(text);
    if (path.empty()) {
        fail("the MF exists already");
    }
    Node* parent = s.mf.get();
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        parent = parent->child(path[i]);
        if (parent == nullptr || !parent->isDf) {
            fail("parent DF not declared: " + text);
        }
    }
    if (parent->child(path.back()) != nullptr) {
        fail("file declared twice: " + text);
    }
    auto node = std::make_unique<Node>();
    node->fid = path.back();
    node->isDf = isDf;
    node->parent = parent;
    parent->children.push_back(std::move(node));
    return parent->children.back().get();
}

Bytes parseValue(const std::string& text) {
    if (text.rfind("hex:", 0) == 0) {
        return parseHex(text.substr(4));
    }
    return Bytes(text.begin(), text.end());
}

Bytes parsePrefix(const std::string& text) {
    Bytes p = parseHex(text);
    if (p.empty()) {
        fail("empty command prefix");
    }
    return p;
}

std::uint16_t parseSw(const std::string& text) {
    if (text.size() != 4) {
        fail("a status word has four hex digits: " + text);
    }
    return static_cast<std::uint16_t>(parseNumber(text, 16, 0xFFFF));
}

}  // namespace

Bytes Pin::storedForm() const {
    if (store == PinStore::Raw) {
        return value;
    }
    Bytes padded(8, 0xFF);
    for (std::size_t i = 0; i < value.size() && i < 8; ++i)
        padded[i] = value[i];
    return padded;
}

Node* Node::child(std::uint16_t id) const {
    for (const auto& c : children) {
        if (c->fid == id) {
            return c.get();
        }
    }
    return nullptr;
}

Scenario::Scenario() : smKey(kDefaultSmKey, kDefaultSmKey + 24), mf(std::make_unique<Node>()) {
    mf->fid = 0x3F00;
    mf->isDf = true;
}

Bytes parseHex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else if (c == ' ' || c == ':') {
            continue;
        } else {
            fail(std::string("not a hex digit: ") + c);
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) {
        fail("odd number of hex digits");
    }
    return out;
}

std::string toHex(std::span<const std::uint8_t> bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

int protocolFromAtr(const Bytes& atr) {
    if (atr.size() < 2) {
        return 0;
    }
    // Walk the interface bytes: Y nibble of T0/TDi says which of TA TB TC TD follow.
    std::size_t pos = 1;
    std::uint8_t y = atr[1] >> 4;
    ++pos;
    while (true) {
        pos += ((y & 1) ? 1 : 0) + ((y & 2) ? 1 : 0) + ((y & 4) ? 1 : 0);
        if (!(y & 8) || pos >= atr.size()) {
            return 0;
        }
        const std::uint8_t td = atr[pos++];
        const int t = td & 0x0F;
        if (t == 0 || t == 1) {
            return t;
        }
        y = td >> 4;
    }
}

void applyScenarioLine(Scenario& s, const std::string& rawLine) {
    std::string line = rawLine.substr(0, rawLine.find('#'));
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string t; in >> t;)
        w.push_back(t);
    if (w.empty()) {
        return;
    }
    const std::string& cmd = w[0];
    auto need = [&](std::size_t n) {
        if (w.size() < n) {
            fail("too few words for '" + cmd + "'");
        }
    };
    if (cmd == "atr") {
        need(2);
        std::string hex;
        for (std::size_t i = 1; i < w.size(); ++i)
            hex += w[i];
        s.atr = parseHex(hex);
        if (s.atr.size() < 2 || s.atr.size() > 33) {
            fail("an ATR has 2 to 33 bytes");
        }
        s.protocol = protocolFromAtr(s.atr);
    } else if (cmd == "protocol") {
        need(2);
        const int p = w[1] == "T0" ? 0 : w[1] == "T1" ? 1 : -1;
        if (p < 0) {
            fail("protocol is T0 or T1");
        }
        if (!s.atr.empty() && p != protocolFromAtr(s.atr)) {
            fail("the ATR offers another protocol first (pcscd negotiates from the ATR)");
        }
        s.protocol = p;
    } else if (cmd == "sm-key") {
        need(2);
        s.smKey = parseHex(w[1]);
        if (s.smKey.size() != 24) {
            fail("sm-key has 24 bytes");
        }
    } else if (cmd == "df") {
        need(2);
        addNode(s, w[1], true);
    } else if (cmd == "ef") {
        need(2);
        Node* ef = addNode(s, w[1], false);
        std::size_t size = 0;
        bool sized = false;
        for (std::size_t i = 2; i < w.size(); ++i) {
            if (w[i] == "size" && i + 1 < w.size()) {
                size = parseNumber(w[++i], 10, 0xFFFF);
                sized = true;
            } else if (w[i] == "data" && i + 1 < w.size()) {
                std::string hex;
                while (i + 1 < w.size())
                    hex += w[++i];
                ef->data = parseHex(hex);
            } else if (w[i] == "text" && i + 1 < w.size()) {
                ef->data = Bytes(w[i + 1].begin(), w[i + 1].end());
                ++i;
            } else {
                fail("ef takes size N, text T or data HEX...: " + w[i]);
            }
        }
        if (sized) {
            if (ef->data.size() > size) {
                fail("ef data longer than its size");
            }
            ef->data.resize(size, 0x00);
        }
    } else if (cmd == "pin") {
        need(4);
        Node* df = findDf(s, w[1]);
        Pin p;
        p.ref = parseByte(w[2]) & 0x7F;
        p.value = parseValue(w[3]);
        if (p.value.empty() || p.value.size() > 8) {
            fail("a PIN value has 1 to 8 bytes");
        }
        bool triesGiven = false;
        for (std::size_t i = 4; i < w.size(); ++i) {
            const std::string& k = w[i];
            const bool hasArg = i + 1 < w.size();
            if (k == "tries" && hasArg) {
                p.tries = static_cast<int>(parseNumber(w[++i], 10, 15));
                triesGiven = true;
            } else if (k == "max" && hasArg) {
                p.maxTries = static_cast<int>(parseNumber(w[++i], 10, 15));
            } else if (k == "puk" && hasArg) {
                p.puk = parseByte(w[++i]) & 0x7F;
            } else if (k == "store" && hasArg) {
                ++i;
                if (w[i] == "padded") {
                    p.store = PinStore::Padded;
                } else if (w[i] == "raw") {
                    p.store = PinStore::Raw;
                } else {
                    fail("store is padded or raw");
                }
            } else if (k == "unblock" && hasArg) {
                ++i;
                if (w[i] == "append") {
                    p.unblock = UnblockForm::Append;
                } else if (w[i] == "block16") {
                    p.unblock = UnblockForm::Block16;
                } else {
                    fail("unblock is append or block16");
                }
            } else if (k == "deactivated") {
                p.deactivated = true;
            } else {
                fail("unknown pin option: " + k);
            }
        }
        if (!triesGiven) {
            p.tries = p.maxTries;
        }
        if (p.maxTries < 1 || p.tries > p.maxTries) {
            fail("tries must not exceed max (at least 1)");
        }
        for (const Pin& other : df->pins) {
            if (other.ref == p.ref) {
                fail("PIN reference declared twice in one DF");
            }
        }
        df->pins.push_back(std::move(p));
    } else if (cmd == "key") {
        need(4);
        Node* df = findDf(s, w[1]);
        Key k;
        k.ref = parseByte(w[2]) & 0x7F;
        k.value = parseHex(w[3]);
        if (expandKey(k.value).empty()) {
            fail("a key has 8, 16 or 24 bytes");
        }
        df->keys.push_back(std::move(k));
    } else if (cmd == "require-sm") {
        need(3);
        Node* df = findDf(s, w[1]);
        for (std::size_t i = 2; i < w.size(); ++i)
            df->smRequired.insert(parseByte(w[i]));
    } else if (cmd == "fault") {
        need(2);
        const std::string& kind = w[1];
        if (kind == "t0-getresponse") {
            need(3);
            for (std::size_t i = 2; i < w.size(); ++i) {
                Fault f;
                f.kind = FaultKind::T0GetResponse;
                f.prefix = parsePrefix(w[i]);
                s.faults.push_back(f);
            }
        } else if (kind == "once" || kind == "sw") {
            need(4);
            Fault f;
            f.kind = kind == "once" ? FaultKind::Once : FaultKind::Always;
            f.prefix = parsePrefix(w[2]);
            f.sw = parseSw(w[3]);
            s.faults.push_back(f);
        } else if (kind == "remove-on") {
            need(3);
            Fault f;
            f.kind = FaultKind::RemoveOn;
            f.prefix = parsePrefix(w[2]);
            s.faults.push_back(f);
        } else if (kind == "remove-after") {
            need(3);
            s.removeAfter = static_cast<unsigned>(parseNumber(w[2], 10, 1000000));
            if (*s.removeAfter == 0) {
                fail("remove-after counts answered APDUs: at least 1");
            }
        } else {
            fail("unknown fault: " + kind);
        }
    } else {
        fail("unknown statement: " + cmd);
    }
}

Scenario parseScenario(const std::string& text) {
    Scenario s;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        try {
            applyScenarioLine(s, line);
        } catch (const std::exception& e) {
            throw std::runtime_error("line " + std::to_string(number) + ": " + e.what());
        }
    }
    if (s.atr.empty()) {
        throw std::runtime_error("the scenario has no atr line");
    }
    return s;
}

Scenario loadScenario(const std::string& path) {
    std::ifstream f(path);
    if (!f) {
        throw std::runtime_error(path + ": cannot be read");
    }
    std::stringstream ss;
    ss << f.rdbuf();
    try {
        return parseScenario(ss.str());
    } catch (const std::exception& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

}  // namespace cardsim
