// Store entry points: open, close, add, enumerate, find and delete certificates.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "exports_common.h"
#include "names.h"
#include "system_store.h"
#include "text.h"

namespace vantor::crypt32 {

CertStore& requireStore(HCERTSTORE handle) {
    CertStore* store = lookupStore(handle);
    if (store == nullptr || !store->open()) {
        raise(E_INVALIDARG);
    }
    return *store;
}

namespace {

HCERTSTORE publish(std::unique_ptr<StoreBackend> backend, bool readOnly) {
    auto* store = new CertStore(std::move(backend), readOnly);
    registerStore(store);
    return store;
}

// The store provider as a small integer, whether given as one or by its documented name.
uintptr_t providerId(LPCSTR provider) {
    auto id = reinterpret_cast<uintptr_t>(provider);
    if (id > 0xFFFF) {
        if (strcasecmp(provider, sz_CERT_STORE_PROV_MEMORY) == 0) {
            return reinterpret_cast<uintptr_t>(CERT_STORE_PROV_MEMORY);
        }
        if (strcasecmp(provider, sz_CERT_STORE_PROV_SYSTEM) == 0) {
            return reinterpret_cast<uintptr_t>(CERT_STORE_PROV_SYSTEM_W);
        }
        return 0;
    }
    return id;
}

HCERTSTORE openStore(LPCSTR provider, DWORD flags, const void* para) {
    uintptr_t id = providerId(provider);
    bool readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    if (id == reinterpret_cast<uintptr_t>(CERT_STORE_PROV_MEMORY)) {
        return publish(makeMemoryBackend(), readOnly);
    }
    if (id != reinterpret_cast<uintptr_t>(CERT_STORE_PROV_SYSTEM_A) &&
        id != reinterpret_cast<uintptr_t>(CERT_STORE_PROV_SYSTEM_W)) {
        // Only the memory and system providers exist here.
        raise(ERROR_CALL_NOT_IMPLEMENTED);
    }
    if (para == nullptr) {
        raise(E_INVALIDARG);
    }
    std::string name = id == reinterpret_cast<uintptr_t>(CERT_STORE_PROV_SYSTEM_A)
                           ? std::string(static_cast<const char*>(para))
                           : utf16ToUtf8(static_cast<LPCWSTR>(para));
    if (name.empty()) {
        raise(E_INVALIDARG);
    }
    StoreLocation location;
    switch ((flags & CERT_SYSTEM_STORE_LOCATION_MASK) >> CERT_SYSTEM_STORE_LOCATION_SHIFT) {
        case CERT_SYSTEM_STORE_CURRENT_USER_ID:
            location = StoreLocation::CurrentUser;
            break;
        case CERT_SYSTEM_STORE_LOCAL_MACHINE_ID:
            location = StoreLocation::LocalMachine;
            break;
        default:
            raise(E_INVALIDARG);
    }
    if (flags & CERT_STORE_DELETE_FLAG) {
        deleteSystemStore(location, name);
        // Windows reports a successful delete as a null handle with last error 0.
        SetLastError(ERROR_SUCCESS);
        return nullptr;
    }
    bool openExisting = (flags & CERT_STORE_OPEN_EXISTING_FLAG) != 0;
    return publish(openSystemStore(location, name, openExisting), readOnly);
}

// Properties a context carries into a store; hashes are derived, never stored.
PropertyMap carriedProperties(CertObject& cert) {
    PropertyMap props = contextProperties(cert);
    props.erase(CERT_SHA1_HASH_PROP_ID);
    props.erase(CERT_MD5_HASH_PROP_ID);
    return props;
}

bool containsNoCase(const std::string& hay, const std::string& needle) {
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
    return it != hay.end();
}

bool matches(CertObject& cert, DWORD findType, const void* para) {
    const CERT_INFO& info = *cert.context()->pCertInfo;
    switch (findType) {
        case CERT_FIND_ANY:
            return true;
        case CERT_FIND_SHA1_HASH: {
            const auto* blob = static_cast<const CRYPT_HASH_BLOB*>(para);
            Bytes hash = cert.sha1();
            return blob->cbData == hash.size() && blob->pbData &&
                   std::memcmp(blob->pbData, hash.data(), hash.size()) == 0;
        }
        case CERT_FIND_SUBJECT_STR_A:
        case CERT_FIND_SUBJECT_STR_W:
        case CERT_FIND_ISSUER_STR_A:
        case CERT_FIND_ISSUER_STR_W: {
            bool subject =
                findType == CERT_FIND_SUBJECT_STR_A || findType == CERT_FIND_SUBJECT_STR_W;
            bool wide = findType == CERT_FIND_SUBJECT_STR_W || findType == CERT_FIND_ISSUER_STR_W;
            std::string needle = wide ? utf16ToUtf8(static_cast<LPCWSTR>(para))
                                      : std::string(static_cast<const char*>(para));
            const CERT_NAME_BLOB& name = subject ? info.Subject : info.Issuer;
            auto text = nameToString(name.pbData, name.cbData, CERT_SIMPLE_NAME_STR);
            return text && containsNoCase(*text, needle);
        }
        default:
            return false;
    }
}

}  // namespace

}  // namespace vantor::crypt32

using namespace vantor::crypt32;

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD, HCRYPTPROV, DWORD dwFlags,
                         const void* pvPara) {
    return guarded<HCERTSTORE>(nullptr,
                               [&] { return openStore(lpszStoreProvider, dwFlags, pvPara); });
}

HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV hProv, LPCSTR szSubsystemProtocol) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, hProv,
                         CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG,
                         szSubsystemProtocol);
}

HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV hProv, LPCWSTR szSubsystemProtocol) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, hProv,
                         CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG,
                         szSubsystemProtocol);
}

HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore) {
    return guarded<HCERTSTORE>(nullptr, [&] {
        CertStore& store = requireStore(hCertStore);
        store.openHandle();
        return hCertStore;
    });
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
    if (hCertStore == nullptr) {
        return TRUE;
    }
    return guarded<BOOL>(FALSE, [&] {
        CertStore* store = lookupStore(hCertStore);
        if (store == nullptr) {
            raise(E_INVALIDARG);
        }
        // Asked before the close: afterwards the store may be gone.
        bool contextsLeft = store->contextsHeld();
        // A second close of the same handle must not drop a reference a context still holds.
        if (!store->closeHandle()) {
            raise(E_INVALIDARG);
        }
        // The store is closed either way; the check flag only reports contexts still held.
        // (The force flag does not free them: their owners still hold the pointers.)
        if ((dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) && contextsLeft) {
            raise(CRYPT_E_PENDING_CLOSE);
        }
        return TRUE;
    });
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext) {
    if (ppStoreContext) {
        *ppStoreContext = nullptr;
    }
    return guarded<BOOL>(FALSE, [&] {
        CertStore& store = requireStore(hCertStore);
        CertObject& cert = requireContext(pCertContext);
        if (store.readOnly()) {
            raise(E_ACCESSDENIED);
        }
        AddRequest request{cert.der(), cert.identity(), cert.notBefore(), carriedProperties(cert)};
        std::int64_t id = store.backend().add(request, dwAddDisposition);
        if (ppStoreContext) {
            // The entry handed back may be the one already stored (USE_EXISTING).
            auto entry = store.backend().next(id - 1);
            *ppStoreContext = contextForEntry(
                store, entry && entry->id == id ? *entry : StoredCert{id, cert.der(), {}});
        }
        return TRUE;
    });
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                      const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext) {
    if (ppCertContext) {
        *ppCertContext = nullptr;
    }
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(dwCertEncodingType, pbCertEncoded, cbCertEncoded);
    if (cert == nullptr) {
        return FALSE;
    }
    BOOL ok = CertAddCertificateContextToStore(hCertStore, cert, dwAddDisposition, ppCertContext);
    DWORD error = GetLastError();
    CertFreeCertificateContext(cert);
    SetLastError(error);
    return ok;
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD, DWORD, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext) {
    return guarded<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
        // The previous context is always freed, whatever happens next.
        std::int64_t after = 0;
        CertStore* prevStore = nullptr;
        if (pPrevCertContext) {
            CertObject& prev = requireContext(pPrevCertContext);
            after = prev.entryId();
            prevStore = prev.store();
            releaseContext(prev);
        }
        CertStore& store = requireStore(hCertStore);
        if (pPrevCertContext && prevStore != &store) {
            raise(E_INVALIDARG);
        }
        bool known = dwFindType == CERT_FIND_ANY || dwFindType == CERT_FIND_SHA1_HASH ||
                     dwFindType == CERT_FIND_SUBJECT_STR_A ||
                     dwFindType == CERT_FIND_SUBJECT_STR_W ||
                     dwFindType == CERT_FIND_ISSUER_STR_A || dwFindType == CERT_FIND_ISSUER_STR_W;
        if (!known) {
            raise(ERROR_CALL_NOT_IMPLEMENTED);
        }
        if (dwFindType != CERT_FIND_ANY && pvFindPara == nullptr) {
            raise(E_INVALIDARG);
        }
        while (auto entry = store.backend().next(after)) {
            after = entry->id;
            PCCERT_CONTEXT ctx = nullptr;
            try {
                ctx = contextForEntry(store, *entry);
            } catch (const DecodeError&) {
                continue;  // a damaged stored encoding is passed over, not fatal to the search
            }
            CertObject& cert = requireContext(ctx);
            if (matches(cert, dwFindType, pvFindPara)) {
                return ctx;
            }
            releaseContext(cert);
        }
        raise(CRYPT_E_NOT_FOUND);
    });
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
    return CertFindCertificateInStore(hCertStore, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr,
                                      pPrevCertContext);
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
    return guarded<BOOL>(FALSE, [&] {
        CertObject& cert = requireContext(pCertContext);
        CertStore* store = cert.store();
        std::int64_t id = cert.entryId();
        // Windows frees the context on every path, failure included.
        struct Release {
            CertObject& c;
            ~Release() { releaseContext(c); }
        } release{cert};
        if (store == nullptr) {
            return TRUE;
        }
        if (store->readOnly()) {
            raise(E_ACCESSDENIED);
        }
        store->backend().remove(id);
        return TRUE;
    });
}
