// Certificate propagation: the token's certificates into the current user's certificate
// stores, with key provider information naming this provider and the key's container.
#pragma once

#include "pkcs11/pkcs11.h"
#include "win/windef.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tvx {

// Told the number of certificates once, then called after each one is registered; it may be
// empty.
struct PropagationProgress {
    std::function<void(std::size_t total)> start;
    std::function<void(std::size_t done)> step;
};

// Every certificate object of the session's token, in search order: counted one handle at a
// time, then found again into an array of that size. 0, ERR_AMBIGUOUS_OBJECT (a search gave
// more than one handle at once), ERROR_MORE_DATA (the second pass found more) or rv + 22000.
DWORD listCertificates(CK_SESSION_HANDLE session, std::vector<CK_OBJECT_HANDLE>* certificates);

// Adds one DER certificate to "MY" with key provider information for the container when one is
// given, else to "ROOT" when self-issued, else to "AddressBook". A certificate already in the
// store stays as it is. 0 or the failing call's last error.
DWORD registerCertificate(const std::vector<BYTE>& der,
                          const std::optional<std::string>& container);

// Registers every certificate of the token; with requireKey only those with a private key of
// the same CKA_ID get a container, otherwise all do. *count receives the number of certificates
// found. The first failure ends it; what was registered before stays.
DWORD propagateCertificates(CK_SESSION_HANDLE session, bool requireKey, std::size_t* count,
                            const PropagationProgress& progress = {});

}  // namespace tvx
