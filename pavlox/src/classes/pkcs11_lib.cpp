// CPkcs11Lib: loading a PKCS#11 module by file name, its initialization (ours or another
// component's), and the slot, token and session calls made through its function list.
#include "classes/pkcs11_lib.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "classes/p11_session.h"
#include "classes/token_info.h"
#include "classes/variant_collection.h"
#include "oleaut/ustring.h"

namespace pavlox {

namespace {

using vantor::pkcs11::HresultFromRv;
using vantor::pkcs11::kHrCryptokiNotInitialized;

// Text bound for the module that may be a PIN: wiped when it goes out of scope.
class WipedText final {
  public:
    explicit WipedText(BSTR text) : text_(text != nullptr ? vantor::ole::toUtf8(text) : "") {}
    ~WipedText() {
        volatile char* p = text_.data();
        for (size_t i = 0; i < text_.size(); ++i) {
            p[i] = 0;
        }
    }
    WipedText(const WipedText&) = delete;
    WipedText& operator=(const WipedText&) = delete;

    // The module takes a PIN as bytes and a byte count. For a non-ASCII PIN the count of
    // characters would cut its UTF-8 form short, so the byte count is passed.
    CK_UTF8CHAR_PTR bytes() { return reinterpret_cast<CK_UTF8CHAR_PTR>(text_.data()); }
    CK_ULONG size() const { return static_cast<CK_ULONG>(text_.size()); }

  private:
    std::string text_;
};

bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Where a UTF-8 text may be cut at or before `limit` bytes without splitting a character.
size_t cutPoint(const std::string& text, size_t limit) {
    if (text.size() <= limit) {
        return text.size();
    }
    size_t n = limit;
    while (n > 0 && isContinuation(static_cast<unsigned char>(text[n]))) {
        --n;
    }
    return n;
}

// The label buffer for C_InitToken: blanks, with the label's UTF-8 bytes at its start (at most
// the buffer's length). The module reads the first 32 bytes, so a short label arrives
// blank-padded and a long one cut at 32 bytes; a character that would straddle that cut is
// blanked as well, so the token never stores half a UTF-8 sequence.
void fillLabel(const std::string& label, CK_UTF8CHAR (&buffer)[CPkcs11Lib::kLabelBuffer]) {
    std::memset(buffer, ' ', sizeof(buffer));
    std::memcpy(buffer, label.data(), cutPoint(label, sizeof(buffer)));
    const size_t width = vantor::pkcs11::kLabelWidth;
    if (label.size() > width) {
        std::memset(buffer + cutPoint(label, width), ' ', width - cutPoint(label, width));
    }
}

// Slot ids cross the interface as 32-bit longs. An id above 0x7FFFFFFF arrives negative and
// must not be sign-extended into the module's 64-bit CK_SLOT_ID.
CK_SLOT_ID slotFrom(LONG slot) {
    return static_cast<CK_SLOT_ID>(static_cast<ULONG>(slot));
}

}  // namespace

CPkcs11Lib::CPkcs11Lib(IUnknown* outer) : ObjectRoot(outer) {
    aggregateMarshaler();
}

CPkcs11Lib::~CPkcs11Lib() {
    Unload();
}

void* CPkcs11Lib::interfaceFor(REFIID riid) {
    if (riid == IID_IPkcs11Lib || riid == IID_IDispatch) {
        return static_cast<IPkcs11Lib*>(this);
    }
    if (riid == IID_IProvideClassInfo) {
        return static_cast<IProvideClassInfo*>(this);
    }
    if (riid == IID_ISupportErrorInfo) {
        return static_cast<ISupportErrorInfo*>(this);
    }
    return nullptr;
}

void CPkcs11Lib::release() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
    module_ = nullptr;
    functions_ = nullptr;
    initialized_.store(false);
    foreign_ = false;
}

HRESULT CPkcs11Lib::Load(BSTR p11Lib) {
    // Checked before the implicit Unload, so a bad name leaves a loaded module as it was.
    if (p11Lib == nullptr || SysStringLen(p11Lib) == 0) {
        return E_INVALIDARG;
    }
    try {
        const std::string name = vantor::ole::toUtf8(p11Lib);
        // The loader would stop at an embedded NUL and load some other file.
        if (name.find('\0') != std::string::npos) {
            return E_INVALIDARG;
        }
        std::lock_guard guard(lock_);
        Unload();
        HMODULE module = LoadLibraryA(name.c_str());
        if (module == nullptr) {
            return E_INVALIDARG;
        }
        const auto getList =
            ProcAs<CK_C_GetFunctionList>(GetProcAddress(module, "C_GetFunctionList"));
        if (getList == nullptr) {
            FreeLibrary(module);
            return E_INVALIDARG;
        }
        CK_FUNCTION_LIST_PTR list = nullptr;
        const CK_RV listRv = getList(&list);
        if (listRv != CKR_OK) {
            FreeLibrary(module);
            return HresultFromRv(listRv);
        }
        // A list that is missing, or lacks the calls every load and unload makes, is no usable
        // module: treated like one without C_GetFunctionList instead of being called through.
        if (list == nullptr || list->C_GetInfo == nullptr || list->C_Initialize == nullptr ||
            list->C_Finalize == nullptr) {
            FreeLibrary(module);
            return E_INVALIDARG;
        }
        // Another component of the process may have initialized the module already: then it
        // answers C_GetInfo, and it is neither initialized nor later finalized by us.
        CK_INFO info{};
        if (list->C_GetInfo(&info) != CKR_CRYPTOKI_NOT_INITIALIZED) {
            module_ = module;
            functions_ = list;
            foreign_ = true;
            initialized_.store(true);
            return S_OK;
        }
        const CK_RV rv = list->C_Initialize(nullptr);
        if (rv != CKR_OK) {
            FreeLibrary(module);
            return HresultFromRv(rv);
        }
        module_ = module;
        functions_ = list;
        foreign_ = false;
        initialized_.store(true);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CPkcs11Lib::Unload() {
    std::lock_guard guard(lock_);
    if (module_ != nullptr && functions_ != nullptr && initialized_.load() && !foreign_) {
        functions_->C_Finalize(nullptr);
    }
    release();
    return S_OK;
}

HRESULT CPkcs11Lib::Initialize() {
    std::lock_guard guard(lock_);
    // Nothing loaded means no function table to call through.
    if (functions_ == nullptr) {
        return kHrCryptokiNotInitialized;
    }
    if (initialized_.load()) {
        return S_OK;
    }
    const CK_RV rv = functions_->C_Initialize(nullptr);
    if (rv != CKR_OK) {
        return HresultFromRv(rv);
    }
    foreign_ = false;
    initialized_.store(true);
    return S_OK;
}

HRESULT CPkcs11Lib::get_Initialized(VARIANT_BOOL* result) {
    if (result == nullptr) {
        return E_INVALIDARG;
    }
    *result = initialized_.load() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CPkcs11Lib::get_SlotList(VARIANT tokenPresent, VARIANT* result) {
    // An omitted argument arrives as VT_ERROR, which does not convert: it is refused.
    vantor::ole::Variant present;
    if (FAILED(VariantChangeType(present.get(), &tokenPresent, 0, VT_BOOL))) {
        return E_INVALIDARG;
    }
    if (result == nullptr) {
        return E_INVALIDARG;
    }
    VariantInit(result);
    std::lock_guard guard(lock_);
    HRESULT unavailable = S_OK;
    const auto C_GetSlotList = entry(&CK_FUNCTION_LIST::C_GetSlotList, &unavailable);
    if (C_GetSlotList == nullptr) {
        return unavailable;
    }
    CK_SLOT_ID ids[kMaxSlots];
    CK_ULONG count = kMaxSlots;
    const CK_RV rv =
        C_GetSlotList(present->boolVal != VARIANT_FALSE ? CK_TRUE : CK_FALSE, ids, &count);
    if (rv != CKR_OK) {
        return HresultFromRv(rv);
    }
    // A module that reports more ids than the list holds must not make us read past it.
    count = std::min(count, kMaxSlots);

    CVariantCollection* list = nullptr;
    if (FAILED(createInternal(&list))) {
        return E_OUTOFMEMORY;
    }
    for (CK_ULONG i = 0; i < count; ++i) {
        VARIANT id;
        VariantInit(&id);
        id.vt = VT_I4;
        // Ids travel as 32-bit longs, as on the platform the interface was made for.
        id.lVal = static_cast<LONG>(static_cast<ULONG>(ids[i]));
        const HRESULT hr = list->append(id);
        if (FAILED(hr)) {
            list->internalRelease();
            return hr;
        }
    }
    result->vt = VT_UNKNOWN;
    result->punkVal = list->innerUnknown();  // our reference passes to the caller
    return S_OK;
}

HRESULT CPkcs11Lib::OpenSession(LONG slot, VARIANT* newSession) {
    if (newSession == nullptr) {
        return E_INVALIDARG;
    }
    VariantInit(newSession);
    std::lock_guard guard(lock_);
    // Checked under the lock: an Unload on another thread may not clear the table in between.
    HRESULT unavailable = S_OK;
    const auto C_OpenSession = entry(&CK_FUNCTION_LIST::C_OpenSession, &unavailable);
    if (C_OpenSession == nullptr) {
        return unavailable;
    }
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    const CK_RV rv = C_OpenSession(slotFrom(slot), CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr,
                                   nullptr, &handle);
    if (rv != CKR_OK) {
        return HresultFromRv(rv);
    }
    // Without a session object the client could never close the token session: close it.
    auto abandon = [&](HRESULT hr) {
        HRESULT ignored = S_OK;
        if (const auto C_CloseSession = entry(&CK_FUNCTION_LIST::C_CloseSession, &ignored)) {
            C_CloseSession(handle);
        }
        return hr;
    };
    CP11Session* session = nullptr;
    if (FAILED(createInternal(&session))) {
        return abandon(E_OUTOFMEMORY);
    }
    session->bind(this, handle);
    IDispatch* dispatch = nullptr;
    const HRESULT hr = session->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
    session->internalRelease();
    if (FAILED(hr) || dispatch == nullptr) {
        return abandon(E_UNEXPECTED);
    }
    newSession->vt = VT_DISPATCH;
    newSession->pdispVal = dispatch;
    return S_OK;
}

HRESULT CPkcs11Lib::InitToken(LONG slotId, BSTR pin, BSTR tokenLabel) {
    try {
        WipedText pinText(pin);  // a null PIN is an empty one
        CK_UTF8CHAR label[kLabelBuffer];
        fillLabel(tokenLabel != nullptr ? vantor::ole::toUtf8(tokenLabel) : std::string(), label);
        std::lock_guard guard(lock_);
        HRESULT unavailable = S_OK;
        const auto C_InitToken = entry(&CK_FUNCTION_LIST::C_InitToken, &unavailable);
        if (C_InitToken == nullptr) {
            return remember(unavailable);
        }
        return remember(
            HresultFromRv(C_InitToken(slotFrom(slotId), pinText.bytes(), pinText.size(), label)));
    } catch (...) {
        return remember(E_OUTOFMEMORY);
    }
}

HRESULT CPkcs11Lib::get_TokenValid(LONG slotId, VARIANT_BOOL* result) {
    std::lock_guard guard(lock_);
    if (result == nullptr) {
        return remember(E_POINTER);
    }
    HRESULT unavailable = S_OK;
    const auto C_GetTokenInfo = entry(&CK_FUNCTION_LIST::C_GetTokenInfo, &unavailable);
    if (C_GetTokenInfo == nullptr) {
        return remember(unavailable);
    }
    CK_TOKEN_INFO info{};
    const CK_RV rv = C_GetTokenInfo(slotFrom(slotId), &info);
    // An empty slot or a token the module cannot read is an answer, not a failure.
    if (rv == CKR_OK || rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_TOKEN_NOT_RECOGNIZED) {
        *result = rv == CKR_OK ? VARIANT_TRUE : VARIANT_FALSE;
        return remember(S_OK);
    }
    return remember(HresultFromRv(rv));
}

HRESULT CPkcs11Lib::get_TokenPresent(LONG slotId, VARIANT_BOOL* result) {
    std::lock_guard guard(lock_);
    if (result == nullptr) {
        return remember(E_POINTER);
    }
    HRESULT unavailable = S_OK;
    const auto C_GetSlotInfo = entry(&CK_FUNCTION_LIST::C_GetSlotInfo, &unavailable);
    if (C_GetSlotInfo == nullptr) {
        return remember(unavailable);
    }
    CK_SLOT_INFO info{};
    const CK_RV rv = C_GetSlotInfo(slotFrom(slotId), &info);
    if (rv != CKR_OK) {
        return remember(HresultFromRv(rv));
    }
    *result = (info.flags & CKF_TOKEN_PRESENT) != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return remember(S_OK);
}

HRESULT CPkcs11Lib::get_TokenInfo(LONG slotId, VARIANT* result) {
    std::lock_guard guard(lock_);
    if (result == nullptr) {
        return remember(E_POINTER);
    }
    VariantInit(result);
    HRESULT unavailable = S_OK;
    const auto C_GetTokenInfo = entry(&CK_FUNCTION_LIST::C_GetTokenInfo, &unavailable);
    if (C_GetTokenInfo == nullptr) {
        return remember(unavailable);
    }
    CK_TOKEN_INFO info{};
    const CK_RV rv = C_GetTokenInfo(slotFrom(slotId), &info);
    if (rv != CKR_OK) {
        return remember(HresultFromRv(rv));
    }
    CTokenInfo* token = nullptr;
    if (FAILED(createInternal(&token))) {
        return remember(E_OUTOFMEMORY);
    }
    token->assign(info);
    IDispatch* dispatch = nullptr;
    const HRESULT hr = token->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
    token->internalRelease();
    if (FAILED(hr) || dispatch == nullptr) {
        return remember(E_UNEXPECTED);
    }
    result->vt = VT_DISPATCH;
    result->pdispVal = dispatch;
    return remember(S_OK);
}

}  // namespace pavlox
