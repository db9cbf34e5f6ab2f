// Stored forms of certificate properties; every parser here reads untrusted bytes from disk.
#include "properties.h"

#include <cstring>

namespace vantor::crypt32 {

namespace {

constexpr DWORD kKeyProvInfoVersion = 1;
constexpr DWORD kAbsentString = 0xFFFFFFFFu;
// No stored string or parameter comes near this; a larger length is damage, not data.
constexpr DWORD kMaxField = 1u << 20;

void put32(Bytes& out, DWORD v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<BYTE>(v >> (8 * i)));
    }
}

// Bounded reader over a byte range.
class Reader {
  public:
    Reader(const BYTE* data, size_t size) : p_(data), left_(data ? size : 0) {}
    bool get32(DWORD& v) {
        if (left_ < 4) {
            return false;
        }
        v = static_cast<DWORD>(p_[0]) | static_cast<DWORD>(p_[1]) << 8 |
            static_cast<DWORD>(p_[2]) << 16 | static_cast<DWORD>(p_[3]) << 24;
        p_ += 4;
        left_ -= 4;
        return true;
    }
    bool bytes(size_t n, Bytes& out) {
        if (n > left_) {
            return false;
        }
        out.assign(p_, p_ + n);
        p_ += n;
        left_ -= n;
        return true;
    }
    bool empty() const { return left_ == 0; }

  private:
    const BYTE* p_;
    size_t left_;
};

void putString(Bytes& out, const std::optional<std::u16string>& s) {
    if (!s) {
        put32(out, kAbsentString);
        return;
    }
    put32(out, static_cast<DWORD>(s->size()));
    for (char16_t c : *s) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
}

bool getString(Reader& r, std::optional<std::u16string>& s) {
    DWORD n = 0;
    if (!r.get32(n)) {
        return false;
    }
    if (n == kAbsentString) {
        s.reset();
        return true;
    }
    if (n > kMaxField) {
        return false;
    }
    Bytes raw;
    if (!r.bytes(static_cast<size_t>(n) * 2, raw)) {
        return false;
    }
    std::u16string text(n, u'\0');
    for (DWORD i = 0; i < n; ++i) {
        text[i] = static_cast<char16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
    }
    s = std::move(text);
    return true;
}

size_t alignUp(size_t n) {
    return (n + alignof(void*) - 1) & ~(alignof(void*) - 1);
}

}  // namespace

Bytes serializeProperties(const PropertyMap& props) {
    Bytes out;
    for (const auto& [id, value] : props) {
        put32(out, id);
        put32(out, static_cast<DWORD>(value.size()));
        out.insert(out.end(), value.begin(), value.end());
    }
    return out;
}

std::optional<PropertyMap> parseProperties(const BYTE* data, size_t size) {
    PropertyMap props;
    Reader r(data, size);
    while (!r.empty()) {
        DWORD id = 0;
        DWORD len = 0;
        Bytes value;
        if (!r.get32(id) || !r.get32(len) || id == 0 || !r.bytes(len, value)) {
            return std::nullopt;
        }
        // Records are written in ascending id order; anything else (a repeat included) is
        // damage.
        if (!props.empty() && id <= props.rbegin()->first) {
            return std::nullopt;
        }
        props.emplace(id, std::move(value));
    }
    return props;
}

KeyProvInfo keyProvInfoFrom(const CRYPT_KEY_PROV_INFO& info) {
    KeyProvInfo k;
    if (info.pwszContainerName) {
        k.container = std::u16string(info.pwszContainerName);
    }
    if (info.pwszProvName) {
        k.provider = std::u16string(info.pwszProvName);
    }
    k.provType = info.dwProvType;
    k.flags = info.dwFlags;
    k.keySpec = info.dwKeySpec;
    for (DWORD i = 0; info.rgProvParam && i < info.cProvParam; ++i) {
        const CRYPT_KEY_PROV_PARAM& p = info.rgProvParam[i];
        KeyProvInfo::Param param{p.dwParam, p.dwFlags, {}};
        if (p.pbData && p.cbData) {
            param.data.assign(p.pbData, p.pbData + p.cbData);
        }
        k.params.push_back(std::move(param));
    }
    return k;
}

Bytes serializeKeyProvInfo(const KeyProvInfo& info) {
    Bytes out;
    put32(out, kKeyProvInfoVersion);
    put32(out, info.provType);
    put32(out, info.flags);
    put32(out, info.keySpec);
    putString(out, info.container);
    putString(out, info.provider);
    put32(out, static_cast<DWORD>(info.params.size()));
    for (const auto& p : info.params) {
        put32(out, p.id);
        put32(out, p.flags);
        put32(out, static_cast<DWORD>(p.data.size()));
        out.insert(out.end(), p.data.begin(), p.data.end());
    }
    return out;
}

std::optional<KeyProvInfo> parseKeyProvInfo(const BYTE* data, size_t size) {
    Reader r(data, size);
    KeyProvInfo k;
    DWORD version = 0;
    DWORD count = 0;
    if (!r.get32(version) || version != kKeyProvInfoVersion || !r.get32(k.provType) ||
        !r.get32(k.flags) || !r.get32(k.keySpec) || !getString(r, k.container) ||
        !getString(r, k.provider) || !r.get32(count) || count > kMaxField) {
        return std::nullopt;
    }
    for (DWORD i = 0; i < count; ++i) {
        KeyProvInfo::Param p;
        DWORD len = 0;
        if (!r.get32(p.id) || !r.get32(p.flags) || !r.get32(len) || len > kMaxField ||
            !r.bytes(len, p.data)) {
            return std::nullopt;
        }
        k.params.push_back(std::move(p));
    }
    if (!r.empty()) {
        return std::nullopt;
    }
    return k;
}

size_t flattenKeyProvInfo(const KeyProvInfo& info, BYTE* dest) {
    // Layout: structure, parameter array, parameter data, then the two strings. The pointers
    // inside point into dest itself, so the layout is written in place, never copied.
    size_t size = alignUp(sizeof(CRYPT_KEY_PROV_INFO));
    size_t paramsAt = size;
    size += alignUp(sizeof(CRYPT_KEY_PROV_PARAM) * info.params.size());
    std::vector<size_t> dataAt;
    for (const auto& p : info.params) {
        dataAt.push_back(size);
        size += alignUp(p.data.size());
    }
    size_t containerAt = size;
    if (info.container) {
        size += alignUp((info.container->size() + 1) * sizeof(char16_t));
    }
    size_t providerAt = size;
    if (info.provider) {
        size += alignUp((info.provider->size() + 1) * sizeof(char16_t));
    }
    if (dest == nullptr) {
        return size;
    }
    std::memset(dest, 0, size);
    CRYPT_KEY_PROV_INFO head{};
    head.dwProvType = info.provType;
    head.dwFlags = info.flags;
    head.dwKeySpec = info.keySpec;
    head.cProvParam = static_cast<DWORD>(info.params.size());
    if (!info.params.empty()) {
        head.rgProvParam = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(dest + paramsAt);
        for (size_t i = 0; i < info.params.size(); ++i) {
            CRYPT_KEY_PROV_PARAM p{};
            p.dwParam = info.params[i].id;
            p.dwFlags = info.params[i].flags;
            p.cbData = static_cast<DWORD>(info.params[i].data.size());
            if (p.cbData) {
                p.pbData = dest + dataAt[i];
                std::memcpy(p.pbData, info.params[i].data.data(), p.cbData);
            }
            std::memcpy(dest + paramsAt + i * sizeof(CRYPT_KEY_PROV_PARAM), &p, sizeof(p));
        }
    }
    if (info.container) {
        head.pwszContainerName = reinterpret_cast<LPWSTR>(dest + containerAt);
        std::memcpy(dest + containerAt, info.container->c_str(),
                    (info.container->size() + 1) * sizeof(char16_t));
    }
    if (info.provider) {
        head.pwszProvName = reinterpret_cast<LPWSTR>(dest + providerAt);
        std::memcpy(dest + providerAt, info.provider->c_str(),
                    (info.provider->size() + 1) * sizeof(char16_t));
    }
    std::memcpy(dest, &head, sizeof(head));
    return size;
}

}  // namespace vantor::crypt32
