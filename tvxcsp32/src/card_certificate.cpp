// KP_CERTIFICATE on the card key handle: the certificate stored beside the token key.
#include "card_certificate.h"

#include "container_name.h"

namespace tvx {

DWORD cardKeyParam(ProviderContext& ctx, DWORD param, BYTE* data, DWORD* length) {
    if (param != KP_CERTIFICATE) {
        return static_cast<DWORD>(NTE_BAD_TYPE);
    }
    if (length == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (ctx.bind() != 0 || !ctx.card) {
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    CK_FUNCTION_LIST_PTR p11 = ModuleState::instance().functions();
    const CK_SESSION_HANDLE session = ctx.card->session;
    std::vector<std::uint8_t> id = percentDecode(ctx.label);
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &certClass, sizeof(certClass)},
        {CKA_ID, id.data(), static_cast<CK_ULONG>(id.size())},
    };
    if (p11->C_FindObjectsInit(session, search, 2) != CKR_OK) {
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    // Two asked for, so that "more than one" is told apart from "exactly one".
    CK_OBJECT_HANDLE objects[2] = {};
    CK_ULONG found = 0;
    const CK_RV rv = p11->C_FindObjects(session, objects, 2, &found);
    p11->C_FindObjectsFinal(session);
    if (rv != CKR_OK) {
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    if (found != 1) {
        return ERROR_NOT_FOUND;
    }
    CK_ATTRIBUTE value{CKA_VALUE, data, data == nullptr ? 0 : *length};
    CK_RV got = p11->C_GetAttributeValue(session, objects[0], &value, 1);
    if (got == CKR_BUFFER_TOO_SMALL) {
        value.pValue = nullptr;
        if (p11->C_GetAttributeValue(session, objects[0], &value, 1) != CKR_OK) {
            return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
        }
        *length = static_cast<DWORD>(value.ulValueLen);
        return ERROR_MORE_DATA;
    }
    if (got != CKR_OK) {
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    *length = static_cast<DWORD>(value.ulValueLen);
    return 0;
}

}  // namespace tvx
