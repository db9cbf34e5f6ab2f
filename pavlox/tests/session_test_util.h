// Test helpers for sessions and objects: owned interface pointers, search templates and attribute
// lists as a client builds them, and reading returned collections of objects and attributes.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "classes/p11_attribute.h"
#include "classes/p11_object.h"
#include "classes/p11_session.h"
#include "lib_test_util.h"

namespace pavlox::testing {

using Bytes = std::vector<BYTE>;

// An owned interface pointer, released at the end of scope.
template <typename T>
class Ref final {
  public:
    Ref() = default;
    explicit Ref(T* p) : p_(p) {}
    ~Ref() { reset(); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    void reset() {
        if (p_ != nullptr) {
            p_->Release();
        }
        p_ = nullptr;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    T* p_ = nullptr;
};

// The interface iid of what a VT_DISPATCH/VT_UNKNOWN VARIANT holds; the VARIANT is left as is.
template <typename T>
Ref<T> query(const VARIANT& v, REFIID iid) {
    T* p = nullptr;
    if ((v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) && v.punkVal != nullptr) {
        v.punkVal->QueryInterface(iid, reinterpret_cast<void**>(&p));
    }
    return Ref<T>(p);
}

// Opens a session on slot and returns its implementation (with a reference).
inline Ref<CP11Session> openSession(Lib& lib, LONG slot, HRESULT* hr = nullptr) {
    vantor::ole::Variant out;
    const HRESULT result = lib->OpenSession(slot, out.get());
    if (hr != nullptr) {
        *hr = result;
    }
    auto session = query<IP11Session>(*out.get(), IID_IP11Session);
    if (!session) {
        return {};
    }
    session->AddRef();
    return Ref<CP11Session>(static_cast<CP11Session*>(session.get()));
}

// The items of a returned VariantCollection as interfaces iid; the VARIANT is cleared.
template <typename T>
std::vector<Ref<T>> items(VARIANT& result, REFIID iid) {
    std::vector<Ref<T>> out;
    auto list = query<IVariantCollection>(result, IID_IVariantCollection);
    VariantClear(&result);
    if (!list) {
        ADD_FAILURE() << "no collection";
        return out;
    }
    LONG count = 0;
    EXPECT_EQ(list->get_Count(&count), S_OK);
    for (LONG i = 1; i <= count; ++i) {
        vantor::ole::Variant item;
        EXPECT_EQ(list->get_Item(i, item.get()), S_OK);
        EXPECT_EQ(item->vt, VT_DISPATCH);
        out.push_back(query<T>(*item.get(), iid));
    }
    return out;
}

inline std::vector<Ref<IP11Object>> objects(VARIANT& result) {
    return items<IP11Object>(result, IID_IP11Object);
}

// Searches and returns the objects found, or an empty list with the failure in *hr.
inline std::vector<Ref<IP11Object>> find(IP11Session* session, VARIANT params,
                                         HRESULT* hr = nullptr) {
    vantor::ole::Variant out;
    const HRESULT result = session->FindObjects(params, out.get());
    if (hr != nullptr) {
        *hr = result;
    }
    if (FAILED(result)) {
        EXPECT_EQ(out->vt, VT_EMPTY);
        return {};
    }
    return objects(*out.get());
}

inline VARIANT nullArg() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_NULL;
    return v;
}

// A client-made attribute holding type and raw bytes.
inline Ref<CP11Attribute> attribute(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
    CP11Attribute* a = nullptr;
    EXPECT_EQ(createInternal(&a), S_OK);
    vantor::ole::Variant raw;
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(value.size()));
    if (!value.empty()) {
        std::memcpy(array->pvData, value.data(), value.size());
    }
    raw->vt = VT_ARRAY | VT_UI1;
    raw->parray = array;
    EXPECT_EQ(a->put_ValueRaw(*raw.get()), S_OK);
    EXPECT_EQ(a->put_Type(static_cast<LONG>(type)), S_OK);
    return Ref<CP11Attribute>(a);
}

inline Bytes ulongBytes(CK_ULONG n) {
    Bytes b(sizeof(CK_ULONG));
    std::memcpy(b.data(), &n, sizeof(n));
    return b;
}
inline Bytes textBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A VT_ARRAY | VT_VARIANT list whose elements hold the attributes as VT_DISPATCH; owns it.
inline void attributeList(vantor::ole::Variant& list,
                          const std::vector<const Ref<CP11Attribute>*>& attributes) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(attributes.size()));
    for (size_t i = 0; i < attributes.size(); ++i) {
        VARIANT& e = static_cast<VARIANT*>(a->pvData)[i];
        e.vt = VT_DISPATCH;
        e.pdispVal = static_cast<IP11Attribute*>(attributes[i]->get());
        e.pdispVal->AddRef();
    }
    VariantClear(list.get());
    list->vt = VT_ARRAY | VT_VARIANT;
    list->parray = a;
}

// A VT_ARRAY | VT_I4 list of attribute types; owns it.
inline void typeList(vantor::ole::Variant& list, const std::vector<CK_ATTRIBUTE_TYPE>& types) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(types.size()));
    for (size_t i = 0; i < types.size(); ++i) {
        static_cast<LONG*>(a->pvData)[i] = static_cast<LONG>(types[i]);
    }
    VariantClear(list.get());
    list->vt = VT_ARRAY | VT_I4;
    list->parray = a;
}

// What an attribute read from the token holds.
struct Read {
    LONG type = -1;
    bool valid = false;
    Bytes raw;
};

inline Read readAttribute(IP11Attribute* a) {
    Read r;
    VARIANT_BOOL valid = VARIANT_FALSE;
    EXPECT_EQ(a->get_Type(&r.type), S_OK);
    EXPECT_EQ(a->get_Valid(&valid), S_OK);
    r.valid = valid != VARIANT_FALSE;
    vantor::ole::Variant raw;
    EXPECT_EQ(a->get_ValueRaw(raw.get()), S_OK);
    if (raw->vt == (VT_ARRAY | VT_UI1) && raw->parray != nullptr) {
        const auto* p = static_cast<const BYTE*>(raw->parray->pvData);
        r.raw.assign(p, p + raw->parray->rgsabound[0].cElements);
    }
    return r;
}

// GetAttributeValue on the object; the attributes read, or empty with the failure in *hr.
inline std::vector<Read> getAttributes(IP11Object* object, const VARIANT& wanted, bool stop,
                                       HRESULT* hr) {
    vantor::ole::Variant out;
    *hr = object->GetAttributeValue(wanted, stop ? VARIANT_TRUE : VARIANT_FALSE, out.get());
    std::vector<Read> reads;
    if (FAILED(*hr)) {
        EXPECT_EQ(out->vt, VT_EMPTY);
        return reads;
    }
    for (auto& a : items<IP11Attribute>(*out.get(), IID_IP11Attribute)) {
        reads.push_back(readAttribute(a.get()));
    }
    return reads;
}

// The text of a label read as raw bytes.
inline std::string asText(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

}  // namespace pavlox::testing
