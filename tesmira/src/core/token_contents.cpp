// Certificate search, object values, token identification and PKCS#12 import through the
// automation library's objects.
#include "token_contents.h"

#include "oleaut/ustring.h"
#include "p11_session.h"
#include "pkcs11_libs.h"
#include "runtime_error.h"
#include "secret_text.h"
#include "win/objbase.h"
#include "win/oleauto.h"

namespace tesmira {

namespace {

constexpr LONG kCkaClass = 0;
constexpr LONG kCkaToken = 1;
constexpr LONG kCkaValue = 17;
constexpr LONG kCkoCertificate = 1;

// A VARIANT cleared when it goes.
struct Var {
    Var() { VariantInit(&v); }
    ~Var() { VariantClear(&v); }
    Var(const Var&) = delete;
    Var& operator=(const Var&) = delete;
    VARIANT v;
};

// The interface T of a VARIANT's object (VT_DISPATCH or VT_UNKNOWN); null when it has none.
template <class T>
ComRef<T> Query(const VARIANT& v, REFIID iid) {
    IUnknown* unknown = nullptr;
    if (v.vt == VT_DISPATCH) {
        unknown = v.pdispVal;
    } else if (v.vt == VT_UNKNOWN) {
        unknown = v.punkVal;
    }
    T* out = nullptr;
    if (unknown == nullptr ||
        FAILED(unknown->QueryInterface(iid, reinterpret_cast<void**>(&out)))) {
        return {};
    }
    return ComRef<T>(out);
}

ComRef<pavlox::IP11Attribute> NewAttribute(LONG type, const VARIANT& value) {
    void* object = nullptr;
    const HRESULT hr = CoCreateInstance(pavlox::CLSID_P11Attribute, nullptr, CLSCTX_INPROC_SERVER,
                                        pavlox::IID_IP11Attribute, &object);
    if (FAILED(hr) || object == nullptr) {
        throw RuntimeError(kErrCantCreateObject, "ActiveX component can't create object");
    }
    ComRef<pavlox::IP11Attribute> attribute(static_cast<pavlox::IP11Attribute*>(object));
    ThrowIfFailed(attribute->put_ValueSafe(type, value), "P11Attribute.ValueSafe");
    return attribute;
}

// A one-dimensional array of VARIANTs, each holding one of the objects.
void PutObjectArray(const std::vector<IDispatch*>& objects, VARIANT* out) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(objects.size()));
    if (array == nullptr) {
        throw RuntimeError(E_OUTOFMEMORY, "Out of memory");
    }
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) {
        SafeArrayDestroy(array);
        throw RuntimeError(E_UNEXPECTED, "SafeArrayAccessData");
    }
    auto* items = static_cast<VARIANT*>(data);
    for (size_t i = 0; i < objects.size(); ++i) {
        items[i].vt = VT_DISPATCH;
        items[i].pdispVal = objects[i];
        objects[i]->AddRef();
    }
    SafeArrayUnaccessData(array);
    out->vt = VT_ARRAY | VT_VARIANT;
    out->parray = array;
}

std::string ReadText(pavlox::ITokenInfo* info, HRESULT (pavlox::ITokenInfo::*get)(BSTR*),
                     const char* what) {
    BSTR text = nullptr;
    ThrowIfFailed((info->*get)(&text), what);
    std::string out = text != nullptr ? vantor::ole::toUtf8(text) : std::string();
    SysFreeString(text);
    return out;
}

}  // namespace

std::vector<ComRef<pavlox::IP11Object>> P11Session::FindCertificates() {
    if (p_ == nullptr) {
        throw RuntimeError(91, "Object variable not set");
    }
    Var onToken, certificateClass;
    onToken.v.vt = VT_BOOL;
    onToken.v.boolVal = VARIANT_TRUE;
    certificateClass.v.vt = VT_I4;
    certificateClass.v.lVal = kCkoCertificate;
    const ComRef<pavlox::IP11Attribute> first = NewAttribute(kCkaToken, onToken.v);
    const ComRef<pavlox::IP11Attribute> second = NewAttribute(kCkaClass, certificateClass.v);
    Var search;
    PutObjectArray({first.get(), second.get()}, &search.v);

    Var found;
    ThrowIfFailed(p_->FindObjects(search.v, &found.v), "P11Session.FindObjects");
    const auto list = Query<pavlox::IVariantCollection>(found.v, pavlox::IID_IVariantCollection);
    if (!list) {
        throw RuntimeError(E_NOINTERFACE, "VariantCollection");
    }
    LONG count = 0;
    ThrowIfFailed(list->get_Count(&count), "VariantCollection.Count");
    std::vector<ComRef<pavlox::IP11Object>> objects;
    for (LONG i = 1; i <= count; ++i) {
        Var item;
        ThrowIfFailed(list->get_Item(i, &item.v), "VariantCollection.Item");
        objects.push_back(Query<pavlox::IP11Object>(item.v, pavlox::IID_IP11Object));
    }
    return objects;
}

void P11Session::ImportP12File(const std::string& ckaId, const std::string& ckaLabel,
                               const std::string& path, const SecretText& password) {
    if (p_ == nullptr) {
        throw RuntimeError(91, "Object variable not set");
    }
    const vantor::ole::Bstr id(vantor::ole::bstrFromUtf8(ckaId));
    const vantor::ole::Bstr label(vantor::ole::bstrFromUtf8(ckaLabel));
    const vantor::ole::Bstr file(vantor::ole::bstrFromUtf8(path));
    BSTR secret = vantor::ole::bstrFromUtf8(password.str());
    const HRESULT hr = p_->ImportP12File(id.get(), label.get(), file.get(), secret);
    if (secret != nullptr) {
        vantor::secureWipe(secret, SysStringByteLen(secret));
        SysFreeString(secret);
    }
    ThrowIfFailed(hr, "P11Session.ImportP12File");
}

std::optional<std::vector<unsigned char>> ReadObjectValue(pavlox::IP11Object* object) {
    if (object == nullptr) {
        throw RuntimeError(91, "Object variable not set");
    }
    SAFEARRAY* types = SafeArrayCreateVector(VT_I4, 0, 1);
    if (types == nullptr) {
        throw RuntimeError(E_OUTOFMEMORY, "Out of memory");
    }
    Var wanted;
    wanted.v.vt = VT_ARRAY | VT_I4;
    wanted.v.parray = types;
    void* data = nullptr;
    if (SUCCEEDED(SafeArrayAccessData(types, &data))) {
        *static_cast<LONG*>(data) = kCkaValue;
        SafeArrayUnaccessData(types);
    }
    Var read;
    ThrowIfFailed(object->GetAttributeValue(wanted.v, VARIANT_FALSE, &read.v),
                  "P11Object.GetAttributeValue");
    const auto list = Query<pavlox::IVariantCollection>(read.v, pavlox::IID_IVariantCollection);
    LONG count = 0;
    if (!list || FAILED(list->get_Count(&count)) || count != 1) {
        return std::nullopt;
    }
    Var item;
    ThrowIfFailed(list->get_Item(1, &item.v), "VariantCollection.Item");
    const auto attribute = Query<pavlox::IP11Attribute>(item.v, pavlox::IID_IP11Attribute);
    if (!attribute) {
        return std::nullopt;
    }
    Var raw;
    ThrowIfFailed(attribute->get_ValueRaw(&raw.v), "P11Attribute.ValueRaw");
    std::vector<unsigned char> bytes;
    if ((raw.v.vt & VT_ARRAY) != 0 && raw.v.parray != nullptr) {
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(raw.v.parray, 1, &lower);
        SafeArrayGetUBound(raw.v.parray, 1, &upper);
        void* bytesData = nullptr;
        if (upper >= lower && SUCCEEDED(SafeArrayAccessData(raw.v.parray, &bytesData))) {
            const auto* first = static_cast<const unsigned char*>(bytesData);
            bytes.assign(first, first + (upper - lower + 1));
            SafeArrayUnaccessData(raw.v.parray);
        }
    }
    return bytes;
}

std::optional<TokenDetails> ReadTokenDetails(const Pkcs11Lib& lib, std::int32_t slot) {
    if (!lib) {
        throw RuntimeError(91, "Object variable not set");
    }
    Var info;
    ThrowIfFailed(lib.get()->get_TokenInfo(slot, &info.v), "Pkcs11Lib.TokenInfo");
    const auto token = Query<pavlox::ITokenInfo>(info.v, pavlox::IID_ITokenInfo);
    if (!token) {
        return std::nullopt;
    }
    TokenDetails details;
    details.serialNumber =
        ReadText(token.get(), &pavlox::ITokenInfo::get_SerialNumber, "TokenInfo.SerialNumber");
    details.manufacturerId =
        ReadText(token.get(), &pavlox::ITokenInfo::get_ManufacturerID, "TokenInfo.ManufacturerID");
    details.model = ReadText(token.get(), &pavlox::ITokenInfo::get_Model, "TokenInfo.Model");
    details.label = ReadText(token.get(), &pavlox::ITokenInfo::get_Label, "TokenInfo.Label");
    return details;
}

}  // namespace tesmira
