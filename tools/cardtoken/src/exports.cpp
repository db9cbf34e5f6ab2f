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
        const CK_RV rv = f(m);
        m.callEnded();
        return rv;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

// Session calls forwarded to SoftHSM2 as they are, on the session behind the handle: one entry
// for each, its parameters taken from the function-list member it fills. Touch::CachedState
// marks the calls a card module answers without the card (attribute reads, searches).
template <auto Member, Module::Touch Touch = Module::Touch::Card>
struct Forward;

template <typename... Args, CK_RV (*CK_FUNCTION_LIST::*Member)(CK_SESSION_HANDLE, Args...),
          Module::Touch Touch>
struct Forward<Member, Touch> {
    static CK_RV call(CK_SESSION_HANDLE h, Args... args) noexcept {
        return guard([&](Module& m) {
            return m.onSession(
                h,
                [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) { return (f->*Member)(s, args...); },
                Touch);
        });
    }
};

template <auto Member>
using Read = Forward<Member, Module::Touch::CachedState>;

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

CK_RV C_InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR a, CK_ULONG b) {
    return guard([&](Module& m) { return m.initPin(h, a, b); });
}

CK_RV C_SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR a, CK_ULONG b, CK_UTF8CHAR_PTR c, CK_ULONG d) {
    return guard([&](Module& m) { return m.setPin(h, a, b, c, d); });
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
    l.C_GetOperationState = Forward<&CK_FUNCTION_LIST::C_GetOperationState>::call;
    l.C_SetOperationState = Forward<&CK_FUNCTION_LIST::C_SetOperationState>::call;
    l.C_Login = C_Login;
    l.C_Logout = Forward<&CK_FUNCTION_LIST::C_Logout>::call;
    l.C_CreateObject = Forward<&CK_FUNCTION_LIST::C_CreateObject>::call;
    l.C_CopyObject = Forward<&CK_FUNCTION_LIST::C_CopyObject>::call;
    l.C_DestroyObject = Forward<&CK_FUNCTION_LIST::C_DestroyObject>::call;
    l.C_GetObjectSize = Read<&CK_FUNCTION_LIST::C_GetObjectSize>::call;
    l.C_GetAttributeValue = Read<&CK_FUNCTION_LIST::C_GetAttributeValue>::call;
    l.C_SetAttributeValue = Forward<&CK_FUNCTION_LIST::C_SetAttributeValue>::call;
    l.C_FindObjectsInit = Read<&CK_FUNCTION_LIST::C_FindObjectsInit>::call;
    l.C_FindObjects = Read<&CK_FUNCTION_LIST::C_FindObjects>::call;
    l.C_FindObjectsFinal = Read<&CK_FUNCTION_LIST::C_FindObjectsFinal>::call;
    l.C_EncryptInit = Forward<&CK_FUNCTION_LIST::C_EncryptInit>::call;
    l.C_Encrypt = Forward<&CK_FUNCTION_LIST::C_Encrypt>::call;
    l.C_EncryptUpdate = Forward<&CK_FUNCTION_LIST::C_EncryptUpdate>::call;
    l.C_EncryptFinal = Forward<&CK_FUNCTION_LIST::C_EncryptFinal>::call;
    l.C_DecryptInit = Forward<&CK_FUNCTION_LIST::C_DecryptInit>::call;
    l.C_Decrypt = Forward<&CK_FUNCTION_LIST::C_Decrypt>::call;
    l.C_DecryptUpdate = Forward<&CK_FUNCTION_LIST::C_DecryptUpdate>::call;
    l.C_DecryptFinal = Forward<&CK_FUNCTION_LIST::C_DecryptFinal>::call;
    l.C_DigestInit = Forward<&CK_FUNCTION_LIST::C_DigestInit>::call;
    l.C_Digest = Forward<&CK_FUNCTION_LIST::C_Digest>::call;
    l.C_DigestUpdate = Forward<&CK_FUNCTION_LIST::C_DigestUpdate>::call;
    l.C_DigestKey = Forward<&CK_FUNCTION_LIST::C_DigestKey>::call;
    l.C_DigestFinal = Forward<&CK_FUNCTION_LIST::C_DigestFinal>::call;
    l.C_SignInit = Forward<&CK_FUNCTION_LIST::C_SignInit>::call;
    l.C_Sign = Forward<&CK_FUNCTION_LIST::C_Sign>::call;
    l.C_SignUpdate = Forward<&CK_FUNCTION_LIST::C_SignUpdate>::call;
    l.C_SignFinal = Forward<&CK_FUNCTION_LIST::C_SignFinal>::call;
    l.C_SignRecoverInit = Forward<&CK_FUNCTION_LIST::C_SignRecoverInit>::call;
    l.C_SignRecover = Forward<&CK_FUNCTION_LIST::C_SignRecover>::call;
    l.C_VerifyInit = Forward<&CK_FUNCTION_LIST::C_VerifyInit>::call;
    l.C_Verify = Forward<&CK_FUNCTION_LIST::C_Verify>::call;
    l.C_VerifyUpdate = Forward<&CK_FUNCTION_LIST::C_VerifyUpdate>::call;
    l.C_VerifyFinal = Forward<&CK_FUNCTION_LIST::C_VerifyFinal>::call;
    l.C_VerifyRecoverInit = Forward<&CK_FUNCTION_LIST::C_VerifyRecoverInit>::call;
    l.C_VerifyRecover = Forward<&CK_FUNCTION_LIST::C_VerifyRecover>::call;
    l.C_DigestEncryptUpdate = Forward<&CK_FUNCTION_LIST::C_DigestEncryptUpdate>::call;
    l.C_DecryptDigestUpdate = Forward<&CK_FUNCTION_LIST::C_DecryptDigestUpdate>::call;
    l.C_SignEncryptUpdate = Forward<&CK_FUNCTION_LIST::C_SignEncryptUpdate>::call;
    l.C_DecryptVerifyUpdate = Forward<&CK_FUNCTION_LIST::C_DecryptVerifyUpdate>::call;
    l.C_GenerateKey = Forward<&CK_FUNCTION_LIST::C_GenerateKey>::call;
    l.C_GenerateKeyPair = Forward<&CK_FUNCTION_LIST::C_GenerateKeyPair>::call;
    l.C_WrapKey = Forward<&CK_FUNCTION_LIST::C_WrapKey>::call;
    l.C_UnwrapKey = Forward<&CK_FUNCTION_LIST::C_UnwrapKey>::call;
    l.C_DeriveKey = Forward<&CK_FUNCTION_LIST::C_DeriveKey>::call;
    l.C_SeedRandom = Forward<&CK_FUNCTION_LIST::C_SeedRandom>::call;
    l.C_GenerateRandom = Forward<&CK_FUNCTION_LIST::C_GenerateRandom>::call;
    l.C_GetFunctionStatus = Forward<&CK_FUNCTION_LIST::C_GetFunctionStatus>::call;
    l.C_CancelFunction = Forward<&CK_FUNCTION_LIST::C_CancelFunction>::call;
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
