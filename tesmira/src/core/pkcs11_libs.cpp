// Pkcs11Lib creation through COM, the keyed library collection and its reload.
#include "pkcs11_libs.h"

#include <strings.h>

#include "atr_table.h"
#include "card_type.h"
#include "oleaut/ustring.h"
#include "runtime_error.h"
#include "win/objbase.h"
#include "win/oleauto.h"

namespace tesmira {

Pkcs11Lib Pkcs11Lib::Create() {
    void* object = nullptr;
    const HRESULT hr = CoCreateInstance(pavlox::CLSID_Pkcs11Lib, nullptr, CLSCTX_INPROC_SERVER,
                                        pavlox::IID_IPkcs11Lib, &object);
    if (FAILED(hr) || object == nullptr) {
        throw RuntimeError(kErrCantCreateObject, "ActiveX component can't create object");
    }
    return Pkcs11Lib(static_cast<pavlox::IPkcs11Lib*>(object));
}

void Pkcs11Lib::reset() {
    if (p_ != nullptr) {
        std::exchange(p_, nullptr)->Release();
    }
}

std::int32_t Pkcs11Lib::Load(const std::string& fileName) {
    if (p_ == nullptr) {
        return E_POINTER;
    }
    vantor::ole::Bstr name(vantor::ole::bstrFromUtf8(fileName));
    if (name.get() == nullptr) {
        return E_OUTOFMEMORY;
    }
    return p_->Load(name.get());
}

void Pkcs11Lib::Unload() {
    if (p_ != nullptr) {
        p_->Unload();
    }
}

bool Pkcs11Lib::TokenValid(std::int32_t slotId) {
    if (p_ == nullptr) {
        throw RuntimeError(91, "Object variable not set");
    }
    VARIANT_BOOL valid = VARIANT_FALSE;
    ThrowIfFailed(p_->get_TokenValid(slotId, &valid), "Pkcs11Lib.TokenValid");
    return valid != VARIANT_FALSE;
}

std::int32_t Pkcs11Lib::TokenFlags(std::int32_t slotId) {
    if (p_ == nullptr) {
        throw RuntimeError(91, "Object variable not set");
    }
    VARIANT info;
    VariantInit(&info);
    ThrowIfFailed(p_->get_TokenInfo(slotId, &info), "Pkcs11Lib.TokenInfo");
    pavlox::ITokenInfo* token = nullptr;
    HRESULT hr = E_NOINTERFACE;
    if (info.vt == VT_DISPATCH && info.pdispVal != nullptr) {
        hr =
            info.pdispVal->QueryInterface(pavlox::IID_ITokenInfo, reinterpret_cast<void**>(&token));
    }
    VariantClear(&info);
    if (SUCCEEDED(hr) && token == nullptr) {
        hr = E_NOINTERFACE;  // a server answering success without the interface
    }
    ThrowIfFailed(hr, "TokenInfo");
    LONG flags = 0;
    hr = token->get_Flags(&flags);
    token->Release();
    ThrowIfFailed(hr, "TokenInfo.Flags");
    return flags;
}

bool Pkcs11Libs::contains(std::string_view key) const {
    for (const auto& [name, lib] : items_) {
        if (name.size() == key.size() && strncasecmp(name.data(), key.data(), key.size()) == 0) {
            return true;
        }
    }
    return false;
}

const Pkcs11Lib& Pkcs11Libs::item(std::string_view key) const {
    for (const auto& [name, lib] : items_) {
        if (name.size() == key.size() && strncasecmp(name.data(), key.data(), key.size()) == 0) {
            return lib;
        }
    }
    throw RuntimeError(kErrInvalidCall, "Invalid procedure call or argument");
}

void Pkcs11Libs::add(std::string key, Pkcs11Lib lib) {
    if (!contains(key)) {
        items_.emplace_back(std::move(key), std::move(lib));
    }
}

namespace {

// A created and loaded library, or none: creation and load failures are both left out.
Pkcs11Lib TryLoad(const Pkcs11LibFactory& create, const std::string& fileName) {
    try {
        Pkcs11Lib lib = create();
        if (lib && SUCCEEDED(lib.Load(fileName))) {
            return lib;
        }
    } catch (const RuntimeError&) {
    }
    return {};
}

}  // namespace

void LoadPkcs11Libraries(Pkcs11Libs& libs, const AtrTable& table, const Pkcs11LibFactory& create) {
    for (const auto& entry : libs.items()) {
        Pkcs11Lib lib = entry.second;
        lib.Unload();
    }
    libs = Pkcs11Libs();

    if (Pkcs11Lib lib = TryLoad(create, kDefaultPkcs11Lib)) {
        libs.add(kDefaultPkcs11Lib, std::move(lib));
    }
    for (const atrItem& item : table.items()) {
        if (libs.contains(item.p11)) {
            continue;
        }
        if (Pkcs11Lib lib = TryLoad(create, item.p11)) {
            libs.add(item.p11, std::move(lib));
        }
    }
    if (!libs.empty()) {
        return;
    }
    // One object tries the fall-backs in turn; whichever loads answers to the default name so
    // that a card without a table entry finds it.
    try {
        Pkcs11Lib lib = create();
        for (const char* name : kFallbackPkcs11Libs) {
            if (lib && SUCCEEDED(lib.Load(name))) {
                libs.add(kDefaultPkcs11Lib, std::move(lib));
                return;
            }
        }
    } catch (const RuntimeError&) {
    }
}

}  // namespace tesmira
