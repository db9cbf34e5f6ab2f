// The fault module's configuration: what its slots and tokens look like and which calls fail.
#pragma once

#include "pkcs11/pkcs11.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::faultp11 {

// Entry points the module counts, in function-list order of the ones it knows by name.
enum class Fn {
    GetFunctionList,
    Initialize,
    Finalize,
    GetInfo,
    GetSlotList,
    GetSlotInfo,
    GetTokenInfo,
    InitToken,
    InitPIN,
    SetPIN,
    OpenSession,
    CloseSession,
    CloseAllSessions,
    GetSessionInfo,
    Login,
    Logout,
    CreateObject,
    DestroyObject,
    GetAttributeValue,
    SetAttributeValue,
    FindObjectsInit,
    FindObjects,
    FindObjectsFinal,
    Unsupported,  // every other entry of the function list
    Count
};

const char* FnName(Fn fn);
std::optional<Fn> FnFromName(std::string_view name);

// What a token slot holds.
enum class TokenKind { Present, Empty, Foreign, Uninitialized };

// "fail=C_Name:rv[@n[+]]": the call answers rv on every call, on its n-th call only, or from its
// n-th call on (counted since the last configuration).
struct FailRule {
    Fn fn = Fn::Unsupported;
    CK_RV rv = CKR_OK;
    unsigned long at = 0;  // 0: every call
    bool orLater = false;
};

struct Config {
    bool preinitialized = false;
    unsigned long slots = 2;
    CK_SLOT_ID firstSlot = 1;
    std::map<CK_SLOT_ID, TokenKind> kinds;  // slots not listed hold a present token
    std::map<CK_SLOT_ID, std::string> labels, serials, models, manufacturers;
    std::set<CK_SLOT_ID> noUserPin;  // initialized tokens whose user PIN is not set yet
    std::string userPin = "1234";
    std::string soPin = "12345678";
    unsigned long pinTries = 3;
    unsigned long extraObjects = 0;
    std::vector<FailRule> failures;
    unsigned long delayMicros = 1000;

    TokenKind kindOf(CK_SLOT_ID slot) const {
        const auto it = kinds.find(slot);
        return it == kinds.end() ? TokenKind::Present : it->second;
    }
};

// Upper bounds that keep a typo from making the module allocate or sleep without end.
inline constexpr unsigned long kMaxSlots = 4096;
inline constexpr unsigned long kMaxExtraObjects = 10000;
inline constexpr unsigned long kMaxObjectsInAll = 100000;
inline constexpr unsigned long kMaxDelayMicros = 1000000;
inline constexpr unsigned long kMaxPinTries = 100;

// Parses a configuration: directives separated by ';' or new lines. Returns nullopt and the
// reason in *error on the first bad directive.
std::optional<Config> ParseConfig(std::string_view spec, std::string* error);

}  // namespace vantor::faultp11
