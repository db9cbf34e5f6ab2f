// PIN entry through the PIN-dialog plug-in (crvk2plg.so) for tokens with a protected
// authentication path: login, PIN change and unblock with the user's retries and the closing
// message, as the suite's PKCS#11 module drives the plug-in.
#pragma once

#include <p11-kit/pkcs11.h>

#include <functional>

namespace cardtoken {

// The most PIN attempts one call makes (a card's usual retry counter). The SoftHSM2 token behind
// a bench card keeps no counter of its own; token flags that report fewer tries left lower it.
constexpr int kMaxPinTries = 3;

// Tries left by the token flags (CKF_USER_PIN_FINAL_TRY / _LOCKED), never more than kMaxPinTries.
int triesLeft(CK_FLAGS tokenFlags, bool so);

// One attempt with the values the dialog gave (first, second: the buffers of the request kind).
using Attempt = std::function<CK_RV(const CK_UTF8CHAR* first, CK_ULONG firstLen,
                                    const CK_UTF8CHAR* second, CK_ULONG secondLen)>;

// Runs request `kind` (0 PIN, 3 unblock, 4 PIN change) and `attempt` with its values. A wrong
// PIN (or PUK, for kind 3) asks whether to retry (event 8, or 16 for the PUK) while tries are
// left; a locked one is announced (event 9, or 17); the end is announced as done (0) or failed
// (1). Cancel gives CKR_FUNCTION_CANCELED without a message. Without the plug-in:
// CKR_FUNCTION_FAILED.
CK_RV withPluginPins(int kind, int tries, const Attempt& attempt);

}  // namespace cardtoken
