// The module's C boundary: the PKCS#11 2.40 function list, each entry a thin guard around one
// call into the module (one lock, no exception crosses it).
#include "module.h"

#include <new>

#define CARDTOKEN_EXPORT extern "C" __attribute__((visibility("default")))

namespace cardtoken::entry {
namespace {

// Every call: the module lock, the initialization check, exceptions mapped to codes.
template <typename F>
CK_RV guard(F&& f) noexcept {
    try {
        Module& m = Module::instance();
        std::lock_guard lock(m.mutex());
        if (!m.initialized()) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        return f(m);
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

template <typename F>
CK_RV onSession(CK_SESSION_HANDLE h, F&& call) {
    return guard([&](Module& m) { return m.onSession(h, call); });
}

CK_RV C_Initialize(CK_VOID_PTR args) {
    try {
        Module& m = Module::instance();
        std::lock_guard lock(m.mutex());
        return m.initialize(args);
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

CK_RV C_Finalize(CK_VOID_PTR reserved) {
    return guard([&](Module& m) { return m.finalize(reserved); });
}

CK_RV C_GetInfo(CK_INFO_PTR info) {
    return guard([&](Module& m) { return m.getInfo(info); });
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list);

CK_RV C_GetSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    return guard([&](Module& m) { return m.getSlotList(present, list, count); });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    return guard([&](Module& m) { return m.getSlotInfo(slot, info); });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    return guard([&](Module& m) { return m.getTokenInfo(slot, info); });
}

CK_RV C_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
    return guard([&](Module& m) {
        return m.onSlot(slot, [&](CK_FUNCTION_LIST* f, CK_SLOT_ID s) {
            return f->C_GetMechanismList(s, list, count);
        });
    });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    return guard([&](Module& m) {
        return m.onSlot(slot, [&](CK_FUNCTION_LIST* f, CK_SLOT_ID s) {
            return f->C_GetMechanismInfo(s, type, info);
        });
    });
}

CK_RV C_InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen, CK_UTF8CHAR_PTR label) {
    return guard([&](Module& m) { return m.initToken(slot, pin, pinLen, label); });
}

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR app, CK_NOTIFY notify,
                    CK_SESSION_HANDLE_PTR session) {
    return guard([&](Module& m) { return m.openSession(slot, flags, app, notify, session); });
}

CK_RV C_CloseSession(CK_SESSION_HANDLE h) {
    return guard([&](Module& m) { return m.closeSession(h); });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slot) {
    return guard([&](Module& m) { return m.closeAllSessions(slot); });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR info) {
    return guard([&](Module& m) { return m.getSessionInfo(h, info); });
}

CK_RV C_Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen) {
    return guard([&](Module& m) { return m.login(h, user, pin, pinLen); });
}

// Card events are seen by polling the slot list; the module runs no thread to wait with.
CK_RV C_WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR) {
    return guard([](Module&) { return CKR_FUNCTION_NOT_SUPPORTED; });
}

// Session calls forwarded to SoftHSM2 as they are, on the session behind the handle.
CK_RV C_GetOperationState(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG_PTR b) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_GetOperationState(s, a, b);
    });
}

CK_RV C_SetOperationState(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_OBJECT_HANDLE c,
                          CK_OBJECT_HANDLE d) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_SetOperationState(s, a, b, c, d);
    });
}

CK_RV C_Logout(CK_SESSION_HANDLE h) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_Logout(s); });
}

CK_RV C_InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR a, CK_ULONG b) {
    return guard([&](Module& m) { return m.initPin(h, a, b); });
}

CK_RV C_SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR a, CK_ULONG b, CK_UTF8CHAR_PTR c, CK_ULONG d) {
    return guard([&](Module& m) { return m.setPin(h, a, b, c, d); });
}

CK_RV C_CreateObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR a, CK_ULONG b, CK_OBJECT_HANDLE_PTR c) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_CreateObject(s, a, b, c); });
}

CK_RV C_CopyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE a, CK_ATTRIBUTE_PTR b, CK_ULONG c,
                   CK_OBJECT_HANDLE_PTR d) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_CopyObject(s, a, b, c, d);
    });
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE a) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_DestroyObject(s, a); });
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE a, CK_ULONG_PTR b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_GetObjectSize(s, a, b); });
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE a, CK_ATTRIBUTE_PTR b, CK_ULONG c) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_GetAttributeValue(s, a, b, c);
    });
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE a, CK_ATTRIBUTE_PTR b, CK_ULONG c) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_SetAttributeValue(s, a, b, c);
    });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR a, CK_ULONG b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_FindObjectsInit(s, a, b); });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR a, CK_ULONG b, CK_ULONG_PTR c) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_FindObjects(s, a, b, c); });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE h) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_FindObjectsFinal(s); });
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR a, CK_OBJECT_HANDLE b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_EncryptInit(s, a, b); });
}

CK_RV C_Encrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_BYTE_PTR c, CK_ULONG_PTR d) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_Encrypt(s, a, b, c, d); });
}

CK_RV C_EncryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_BYTE_PTR c,
                      CK_ULONG_PTR d) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_EncryptUpdate(s, a, b, c, d);
    });
}

CK_RV C_EncryptFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG_PTR b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_EncryptFinal(s, a, b); });
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR a, CK_OBJECT_HANDLE b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_DecryptInit(s, a, b); });
}

CK_RV C_Decrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_BYTE_PTR c, CK_ULONG_PTR d) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_Decrypt(s, a, b, c, d); });
}

CK_RV C_DecryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_BYTE_PTR c,
                      CK_ULONG_PTR d) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_DecryptUpdate(s, a, b, c, d);
    });
}

CK_RV C_DecryptFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG_PTR b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_DecryptFinal(s, a, b); });
}

CK_RV C_DigestInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR a) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_DigestInit(s, a); });
}

CK_RV C_Digest(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_BYTE_PTR c, CK_ULONG_PTR d) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_Digest(s, a, b, c, d); });
}

CK_RV C_DigestUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_DigestUpdate(s, a, b); });
}

CK_RV C_DigestKey(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE a) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_DigestKey(s, a); });
}

CK_RV C_DigestFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG_PTR b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_DigestFinal(s, a, b); });
}

CK_RV C_SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR a, CK_OBJECT_HANDLE b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_SignInit(s, a, b); });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_SignUpdate(s, a, b); });
}

CK_RV C_SignRecoverInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR a, CK_OBJECT_HANDLE b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_SignRecoverInit(s, a, b); });
}

CK_RV C_SignRecover(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_BYTE_PTR c, CK_ULONG_PTR d) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_SignRecover(s, a, b, c, d);
    });
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR a, CK_OBJECT_HANDLE b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_VerifyInit(s, a, b); });
}

CK_RV C_VerifyUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_VerifyUpdate(s, a, b); });
}

CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR a, CK_OBJECT_HANDLE b) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_VerifyRecoverInit(s, a, b);
    });
}

CK_RV C_VerifyRecover(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_BYTE_PTR c,
                      CK_ULONG_PTR d) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_VerifyRecover(s, a, b, c, d);
    });
}

CK_RV C_Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_BYTE_PTR c, CK_ULONG_PTR d) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_Sign(s, a, b, c, d); });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG_PTR b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_SignFinal(s, a, b); });
}

CK_RV C_Verify(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_BYTE_PTR c, CK_ULONG d) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_Verify(s, a, b, c, d); });
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_VerifyFinal(s, a, b); });
}

CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_BYTE_PTR c,
                            CK_ULONG_PTR d) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_DigestEncryptUpdate(s, a, b, c, d);
    });
}

CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_BYTE_PTR c,
                            CK_ULONG_PTR d) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_DecryptDigestUpdate(s, a, b, c, d);
    });
}

CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_BYTE_PTR c,
                          CK_ULONG_PTR d) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_SignEncryptUpdate(s, a, b, c, d);
    });
}

CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b, CK_BYTE_PTR c,
                            CK_ULONG_PTR d) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_DecryptVerifyUpdate(s, a, b, c, d);
    });
}

CK_RV C_GenerateKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR a, CK_ATTRIBUTE_PTR b, CK_ULONG c,
                    CK_OBJECT_HANDLE_PTR d) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_GenerateKey(s, a, b, c, d);
    });
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE h, CK_MECHANISM_PTR a, CK_ATTRIBUTE_PTR b, CK_ULONG c,
                        CK_ATTRIBUTE_PTR d, CK_ULONG e, CK_OBJECT_HANDLE_PTR f2,
                        CK_OBJECT_HANDLE_PTR g) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_GenerateKeyPair(s, a, b, c, d, e, f2, g);
    });
}

CK_RV C_WrapKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR a, CK_OBJECT_HANDLE b, CK_OBJECT_HANDLE c,
                CK_BYTE_PTR d, CK_ULONG_PTR e) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_WrapKey(s, a, b, c, d, e);
    });
}

CK_RV C_UnwrapKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR a, CK_OBJECT_HANDLE b, CK_BYTE_PTR c,
                  CK_ULONG d, CK_ATTRIBUTE_PTR e, CK_ULONG f2, CK_OBJECT_HANDLE_PTR g) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_UnwrapKey(s, a, b, c, d, e, f2, g);
    });
}

CK_RV C_DeriveKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR a, CK_OBJECT_HANDLE b, CK_ATTRIBUTE_PTR c,
                  CK_ULONG d, CK_OBJECT_HANDLE_PTR e) {
    return onSession(h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return f->C_DeriveKey(s, a, b, c, d, e);
    });
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_SeedRandom(s, a, b); });
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR a, CK_ULONG b) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_GenerateRandom(s, a, b); });
}

CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE h) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_GetFunctionStatus(s); });
}

CK_RV C_CancelFunction(CK_SESSION_HANDLE h) {
    return onSession(
        h, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return f->C_CancelFunction(s); });
}

CK_FUNCTION_LIST makeList() {
    CK_FUNCTION_LIST l{};
    l.version = {2, 40};
    l.C_Initialize = C_Initialize;
    l.C_Finalize = C_Finalize;
    l.C_GetInfo = C_GetInfo;
    l.C_GetFunctionList = C_GetFunctionList;
    l.C_GetSlotList = C_GetSlotList;
    l.C_GetSlotInfo = C_GetSlotInfo;
    l.C_GetTokenInfo = C_GetTokenInfo;
    l.C_GetMechanismList = C_GetMechanismList;
    l.C_GetMechanismInfo = C_GetMechanismInfo;
    l.C_InitToken = C_InitToken;
    l.C_InitPIN = C_InitPIN;
    l.C_SetPIN = C_SetPIN;
    l.C_OpenSession = C_OpenSession;
    l.C_CloseSession = C_CloseSession;
    l.C_CloseAllSessions = C_CloseAllSessions;
    l.C_GetSessionInfo = C_GetSessionInfo;
    l.C_GetOperationState = C_GetOperationState;
    l.C_SetOperationState = C_SetOperationState;
    l.C_Login = C_Login;
    l.C_Logout = C_Logout;
    l.C_CreateObject = C_CreateObject;
    l.C_CopyObject = C_CopyObject;
    l.C_DestroyObject = C_DestroyObject;
    l.C_GetObjectSize = C_GetObjectSize;
    l.C_GetAttributeValue = C_GetAttributeValue;
    l.C_SetAttributeValue = C_SetAttributeValue;
    l.C_FindObjectsInit = C_FindObjectsInit;
    l.C_FindObjects = C_FindObjects;
    l.C_FindObjectsFinal = C_FindObjectsFinal;
    l.C_EncryptInit = C_EncryptInit;
    l.C_Encrypt = C_Encrypt;
    l.C_EncryptUpdate = C_EncryptUpdate;
    l.C_EncryptFinal = C_EncryptFinal;
    l.C_DecryptInit = C_DecryptInit;
    l.C_Decrypt = C_Decrypt;
    l.C_DecryptUpdate = C_DecryptUpdate;
    l.C_DecryptFinal = C_DecryptFinal;
    l.C_DigestInit = C_DigestInit;
    l.C_Digest = C_Digest;
    l.C_DigestUpdate = C_DigestUpdate;
    l.C_DigestKey = C_DigestKey;
    l.C_DigestFinal = C_DigestFinal;
    l.C_SignInit = C_SignInit;
    l.C_Sign = C_Sign;
    l.C_SignUpdate = C_SignUpdate;
    l.C_SignFinal = C_SignFinal;
    l.C_SignRecoverInit = C_SignRecoverInit;
    l.C_SignRecover = C_SignRecover;
    l.C_VerifyInit = C_VerifyInit;
    l.C_Verify = C_Verify;
    l.C_VerifyUpdate = C_VerifyUpdate;
    l.C_VerifyFinal = C_VerifyFinal;
    l.C_VerifyRecoverInit = C_VerifyRecoverInit;
    l.C_VerifyRecover = C_VerifyRecover;
    l.C_DigestEncryptUpdate = C_DigestEncryptUpdate;
    l.C_DecryptDigestUpdate = C_DecryptDigestUpdate;
    l.C_SignEncryptUpdate = C_SignEncryptUpdate;
    l.C_DecryptVerifyUpdate = C_DecryptVerifyUpdate;
    l.C_GenerateKey = C_GenerateKey;
    l.C_GenerateKeyPair = C_GenerateKeyPair;
    l.C_WrapKey = C_WrapKey;
    l.C_UnwrapKey = C_UnwrapKey;
    l.C_DeriveKey = C_DeriveKey;
    l.C_SeedRandom = C_SeedRandom;
    l.C_GenerateRandom = C_GenerateRandom;
    l.C_GetFunctionStatus = C_GetFunctionStatus;
    l.C_CancelFunction = C_CancelFunction;
    l.C_WaitForSlotEvent = C_WaitForSlotEvent;
    return l;
}

CK_FUNCTION_LIST functionList = makeList();

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    *list = &functionList;
    return CKR_OK;
}

}  // namespace
}  // namespace cardtoken::entry

CARDTOKEN_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    return cardtoken::entry::C_GetFunctionList(list);
}

// Why the last C_Initialize was refused or the last card could not get its token ("" when
// nothing failed); for tests and the bench scripts. Valid until the next call into the module.
CARDTOKEN_EXPORT const char* CardToken_LastError(void) {
    try {
        cardtoken::Module& m = cardtoken::Module::instance();
        std::lock_guard lock(m.mutex());
        return m.lastError().c_str();
    } catch (...) {
        return "";
    }
}
