// Test helpers for the library object: owned objects, BSTRs, VARIANT arguments and reading a
// returned slot collection or token description.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classes/pkcs11_lib.h"
#include "classes/token_info.h"
#include "classes/variant_collection.h"
#include "oleaut/ustring.h"

namespace pavlox::testing {

// A Pkcs11Lib held by the test, released (and so unloaded) at the end of scope.
class Lib final {
  public:
    Lib() { createInternal(&lib_); }
    ~Lib() { reset(); }
    // Releases the library early (unloading the module unless a session still holds it).
    void reset() {
        if (lib_ != nullptr) {
            lib_->Release();
        }
        lib_ = nullptr;
    }
    Lib(const Lib&) = delete;
    Lib& operator=(const Lib&) = delete;
    CPkcs11Lib* operator->() const { return lib_; }
    CPkcs11Lib* get() const { return lib_; }

  private:
    CPkcs11Lib* lib_ = nullptr;
};

inline vantor::ole::Bstr bstr(const std::string& utf8) {
    return vantor::ole::Bstr(vantor::ole::bstrFromUtf8(utf8));
}

inline VARIANT boolArg(bool value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

// What a late-bound caller passes for an omitted optional argument.
inline VARIANT missingArg() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

// The slot ids of a SlotList result, in the collection's order; the VARIANT is cleared.
inline std::vector<LONG> slotIds(VARIANT& result) {
    std::vector<LONG> ids;
    EXPECT_EQ(result.vt, VT_UNKNOWN);
    if (result.vt != VT_UNKNOWN || result.punkVal == nullptr) {
        VariantClear(&result);
        return ids;
    }
    IVariantCollection* list = nullptr;
    EXPECT_EQ(
        result.punkVal->QueryInterface(IID_IVariantCollection, reinterpret_cast<void**>(&list)),
        S_OK);
    LONG count = 0;
    if (list != nullptr && list->get_Count(&count) == S_OK) {
        for (LONG i = 1; i <= count; ++i) {
            vantor::ole::Variant item;
            EXPECT_EQ(list->get_Item(i, item.get()), S_OK);
            EXPECT_EQ(item->vt, VT_I4);
            ids.push_back(item->lVal);
        }
    }
    if (list != nullptr) {
        list->Release();
    }
    VariantClear(&result);
    return ids;
}

// The texts and flags of a TokenInfo result; the VARIANT is cleared.
struct TokenTexts {
    std::string label, manufacturer, model, serial;
    LONG flags = 0;
};

inline std::string text(ITokenInfo* info, HRESULT (STDMETHODCALLTYPE ITokenInfo::*get)(BSTR*)) {
    vantor::ole::Bstr value;
    EXPECT_EQ((info->*get)(value.out()), S_OK);
    return vantor::ole::toUtf8(value.get());
}

inline TokenTexts tokenTexts(VARIANT& result) {
    TokenTexts t;
    EXPECT_EQ(result.vt, VT_DISPATCH);
    ITokenInfo* info = nullptr;
    if (result.vt == VT_DISPATCH && result.pdispVal != nullptr) {
        result.pdispVal->QueryInterface(IID_ITokenInfo, reinterpret_cast<void**>(&info));
    }
    if (info != nullptr) {
        t.label = text(info, &ITokenInfo::get_Label);
        t.manufacturer = text(info, &ITokenInfo::get_ManufacturerID);
        t.model = text(info, &ITokenInfo::get_Model);
        t.serial = text(info, &ITokenInfo::get_SerialNumber);
        EXPECT_EQ(info->get_Flags(&t.flags), S_OK);
        info->Release();
    } else {
        ADD_FAILURE() << "TokenInfo gave no ITokenInfo";
    }
    VariantClear(&result);
    return t;
}

}  // namespace pavlox::testing
