// The dual interfaces of the automation library, members in their defined vtable order.
#pragma once

#include "pavlox_ids.h"
#include "win/oaidl.h"

namespace pavlox {

struct IPkcs11Lib : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE Load(BSTR p11Lib) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unload() = 0;
    virtual HRESULT STDMETHODCALLTYPE Initialize() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Initialized(VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SlotList(VARIANT tokenPresent, VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenSession(LONG slot, VARIANT* newSession) = 0;
    virtual HRESULT STDMETHODCALLTYPE InitToken(LONG slotId, BSTR pin, BSTR tokenLabel) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TokenValid(LONG slotId, VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TokenPresent(LONG slotId, VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TokenInfo(LONG slotId, VARIANT* result) = 0;
};

struct IP11Session : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Valid(VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Logged(VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Login(BSTR pin, VARIANT_BOOL loginAsSO) = 0;
    virtual HRESULT STDMETHODCALLTYPE Logout() = 0;
    virtual HRESULT STDMETHODCALLTYPE FindObjects(VARIANT searchParams, VARIANT* searchResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPIN(BSTR oldPin, BSTR newPin) = 0;
    virtual HRESULT STDMETHODCALLTYPE InitPIN(BSTR newPin) = 0;
    virtual HRESULT STDMETHODCALLTYPE ImportP12File(BSTR id, BSTR label, BSTR path,
                                                    BSTR password) = 0;
};

struct IP11Object : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE GetAttributeValue(VARIANT wanted, VARIANT_BOOL stopOnNotFound,
                                                        VARIANT* attributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetAttributeValue(VARIANT newAttributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Valid(VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Sign(VARIANT dataToSign, VARIANT* signature) = 0;
};

struct IP11Attribute : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_ValueRaw(VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ValueRaw(VARIANT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Type(LONG* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Type(LONG type) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ValueSafe(LONG attributeType, VARIANT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Value(VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ValueStr(BSTR* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Valid(VARIANT_BOOL* result) = 0;
};

struct ITokenInfo : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Label(BSTR* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ManufacturerID(BSTR* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Model(BSTR* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SerialNumber(BSTR* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Flags(LONG* result) = 0;
};

struct IVariantCollection : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Item(LONG index, VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* result) = 0;
};

struct IUtil : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE ArrayToString(VARIANT value, VARIANT convertToHex,
                                                    VARIANT* result) = 0;
};

}  // namespace pavlox
