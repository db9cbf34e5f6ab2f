// The automation library's Pkcs11Lib objects as the manager holds them: created through COM by
// class, used through the early-bound interface, and kept one per PKCS#11 library file name.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pavlox_interfaces.h"

namespace tesmira {

class AtrTable;

// A counted reference to one Pkcs11Lib object. Copies share the object (AddRef), as the card
// model and the library collection both hold the same library.
class Pkcs11Lib final {
  public:
    Pkcs11Lib() = default;
    explicit Pkcs11Lib(pavlox::IPkcs11Lib* owned) : p_(owned) {}
    ~Pkcs11Lib() { reset(); }
    Pkcs11Lib(const Pkcs11Lib& o) : p_(o.p_) {
        if (p_ != nullptr) {
            p_->AddRef();
        }
    }
    Pkcs11Lib& operator=(const Pkcs11Lib& o) {
        Pkcs11Lib copy(o);
        std::swap(p_, copy.p_);
        return *this;
    }
    Pkcs11Lib(Pkcs11Lib&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Pkcs11Lib& operator=(Pkcs11Lib&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }

    // A new object of class Pkcs11Lib from the registered server; RuntimeError 429 when the class
    // cannot be created (server not registered or not loadable).
    static Pkcs11Lib Create();

    explicit operator bool() const { return p_ != nullptr; }
    pavlox::IPkcs11Lib* get() const { return p_; }
    void reset();

    // The HRESULT of Load (the collection ignores failures).
    std::int32_t Load(const std::string& fileName);
    void Unload();
    // RuntimeError with the HRESULT when the call fails.
    bool TokenValid(std::int32_t slotId);
    // The Flags of TokenInfo(slotId); RuntimeError when the call fails.
    std::int32_t TokenFlags(std::int32_t slotId);

  private:
    pavlox::IPkcs11Lib* p_ = nullptr;
};

// Libraries in the order they were added, keyed by file name. Keys compare without regard to
// letter case, as the program's collections always have ("QRPKISC.DLL" is "qrpkisc.dll").
class Pkcs11Libs final {
  public:
    bool contains(std::string_view key) const;
    // RuntimeError 5 (invalid procedure call) when no library has that key.
    const Pkcs11Lib& item(std::string_view key) const;
    void add(std::string key, Pkcs11Lib lib);
    std::size_t count() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const std::vector<std::pair<std::string, Pkcs11Lib>>& items() const { return items_; }

  private:
    std::vector<std::pair<std::string, Pkcs11Lib>> items_;
};

// The libraries tried, in order, when neither the default nor any table entry loads; the one
// that loads is kept under the default name.
inline constexpr const char* kFallbackPkcs11Libs[] = {"qrpkisc.dll", "corvakey2.dll",
                                                      "tvxpkilc.dll", "tvxpki32.dll"};

using Pkcs11LibFactory = std::function<Pkcs11Lib()>;

// Unloads every library held, then loads the default library and each table entry's library
// once; failures are left out silently. With none loaded, the fall-back list is tried.
void LoadPkcs11Libraries(Pkcs11Libs& libs, const AtrTable& table,
                         const Pkcs11LibFactory& create = &Pkcs11Lib::Create);

}  // namespace tesmira
