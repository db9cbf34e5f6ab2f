// Certificate propagation from the token into the user's stores.
#include "cert_propagation.h"

#include "card_objects.h"
#include "container_name.h"
#include "module_state.h"
#include "provider_codes.h"
#include "win/errhandlingapi.h"
#include "win/wincrypt.h"
#include "win/wincrypt_certs.h"
#include "win/winerror.h"

#include <QString>

#include <cstring>
#include <memory>
#include <new>

namespace tvx {
namespace {

struct CertFree {
    void operator()(PCCERT_CONTEXT cert) const { CertFreeCertificateContext(cert); }
};
using Cert = std::unique_ptr<const CERT_CONTEXT, CertFree>;

struct StoreClose {
    void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, StoreClose>;

// One pass of the certificate search. With room == nullptr it counts; otherwise it fills room
// and refuses a token that now holds more than room's size.
CK_RV searchCertificates(CK_SESSION_HANDLE session, std::size_t* found,
                         std::vector<CK_OBJECT_HANDLE>* room, DWORD* error) {
    CK_FUNCTION_LIST_PTR p11 = ModuleState::instance().functions();
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE search{CKA_CLASS, &certClass, sizeof certClass};
    *found = 0;
    *error = 0;
    CK_RV rv = p11->C_FindObjectsInit(session, &search, 1);
    if (rv != CKR_OK) {
        return rv;
    }
    for (;;) {
        CK_OBJECT_HANDLE object = 0;
        CK_ULONG got = 0;
        rv = p11->C_FindObjects(session, &object, 1, &got);
        if (rv != CKR_OK || got == 0) {
            break;
        }
        if (got > 1) {
            *error = ERR_AMBIGUOUS_OBJECT;  // a module that ignored the count of one
            break;
        }
        if (room != nullptr) {
            if (*found >= room->size()) {
                *error = ERROR_MORE_DATA;
                break;
            }
            (*room)[*found] = object;
        }
        ++(*found);
    }
    p11->C_FindObjectsFinal(session);
    return rv;
}

DWORD attributeBytes(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                     std::vector<BYTE>* value) {
    CK_FUNCTION_LIST_PTR p11 = ModuleState::instance().functions();
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    CK_RV rv = p11->C_GetAttributeValue(session, object, &attribute, 1);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
        return p11Error(CKR_ATTRIBUTE_TYPE_INVALID);
    }
    value->assign(attribute.ulValueLen, 0);
    attribute.pValue = value->data();
    rv = p11->C_GetAttributeValue(session, object, &attribute, 1);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    value->resize(attribute.ulValueLen);
    return 0;
}

// The token serial as container names carry it (trailing blanks removed).
DWORD tokenSerial(CK_SESSION_HANDLE session, std::string* serial) {
    CK_FUNCTION_LIST_PTR p11 = ModuleState::instance().functions();
    CK_SESSION_INFO info{};
    CK_RV rv = p11->C_GetSessionInfo(session, &info);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    CK_TOKEN_INFO token{};
    rv = p11->C_GetTokenInfo(info.slotID, &token);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    *serial = trimTrailingBlanks(std::string_view(reinterpret_cast<const char*>(token.serialNumber),
                                                  sizeof token.serialNumber));
    return 0;
}

DWORD hasPrivateKey(CK_SESSION_HANDLE session, std::vector<BYTE>& id, bool* has) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &keyClass, sizeof keyClass},
        {CKA_ID, id.data(), static_cast<CK_ULONG>(id.size())},
    };
    CK_OBJECT_HANDLE key = 0;
    const CK_RV rv = findOneObject(session, search, 2, &key);
    *has = key != 0;
    return rv == CKR_OK ? 0 : p11Error(rv);
}

DWORD lastErrorOr(DWORD fallback) {
    const DWORD error = GetLastError();
    return error != 0 ? error : fallback;
}

}  // namespace

DWORD listCertificates(CK_SESSION_HANDLE session, std::vector<CK_OBJECT_HANDLE>* certificates) {
    certificates->clear();
    std::size_t count = 0;
    DWORD error = 0;
    CK_RV rv = searchCertificates(session, &count, nullptr, &error);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    if (error != 0) {
        return error;
    }
    if (count == 0) {
        return 0;
    }
    std::vector<CK_OBJECT_HANDLE> found(count, 0);
    std::size_t again = 0;
    rv = searchCertificates(session, &again, &found, &error);
    if (rv != CKR_OK) {
        return p11Error(rv);
    }
    if (error != 0) {
        return error;
    }
    // A certificate removed between the passes leaves fewer; only those found are handed on.
    found.resize(again);
    *certificates = std::move(found);
    return 0;
}

DWORD registerCertificate(const std::vector<BYTE>& der,
                          const std::optional<std::string>& container) {
    SetLastError(0);
    Cert cert(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                           static_cast<DWORD>(der.size())));
    if (!cert) {
        return lastErrorOr(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    }
    const CERT_INFO& info = *cert->pCertInfo;
    const char* storeName = "AddressBook";
    if (container) {
        storeName = "MY";
    } else if (info.Issuer.cbData == info.Subject.cbData &&
               std::memcmp(info.Issuer.pbData, info.Subject.pbData, info.Issuer.cbData) == 0) {
        storeName = "ROOT";
    }
    Store store(CertOpenSystemStoreA(0, storeName));
    if (!store) {
        return lastErrorOr(static_cast<DWORD>(E_FAIL));
    }
    PCCERT_CONTEXT added = nullptr;
    if (!CertAddCertificateContextToStore(store.get(), cert.get(), CERT_STORE_ADD_NEWER, &added)) {
        const DWORD error = GetLastError();
        // Already there: the stored certificate and its properties stay as they are.
        return error == static_cast<DWORD>(CRYPT_E_EXISTS) ? 0 : error;
    }
    Cert stored(added);
    if (!container || !stored) {
        return 0;
    }
    // The platform's ANSI code page is UTF-8.
    std::u16string containerName = QString::fromUtf8(*container).toStdU16String();
    std::u16string providerName = QString::fromUtf8(kProviderName).toStdU16String();
    CRYPT_KEY_PROV_INFO provInfo{};
    provInfo.pwszContainerName = containerName.data();
    provInfo.pwszProvName = providerName.data();
    provInfo.dwProvType = PROV_RSA_FULL;
    provInfo.dwFlags = 0;
    provInfo.cProvParam = 0;
    provInfo.rgProvParam = nullptr;
    provInfo.dwKeySpec = AT_SIGNATURE;
    if (!CertSetCertificateContextProperty(stored.get(), CERT_KEY_PROV_INFO_PROP_ID, 0,
                                           &provInfo)) {
        return lastErrorOr(static_cast<DWORD>(E_FAIL));
    }
    return 0;
}

DWORD propagateCertificates(CK_SESSION_HANDLE session, bool requireKey, std::size_t* count,
                            const PropagationProgress& progress) {
    *count = 0;
    try {
        std::vector<CK_OBJECT_HANDLE> certificates;
        DWORD result = listCertificates(session, &certificates);
        if (result != 0) {
            return result;
        }
        *count = certificates.size();
        if (certificates.empty()) {
            return 0;
        }
        if (progress.start) {
            progress.start(certificates.size());
        }
        std::string serial;
        std::size_t done = 0;
        for (CK_OBJECT_HANDLE object : certificates) {
            std::vector<BYTE> id;
            std::vector<BYTE> value;
            if ((result = attributeBytes(session, object, CKA_ID, &id)) != 0 ||
                (result = attributeBytes(session, object, CKA_VALUE, &value)) != 0 ||
                (result = tokenSerial(session, &serial)) != 0) {
                return result;
            }
            bool hasKey = true;
            if (requireKey && (result = hasPrivateKey(session, id, &hasKey)) != 0) {
                return result;
            }
            std::optional<std::string> container;
            if (hasKey) {
                container = makeContainerName(id, serial);
            }
            if ((result = registerCertificate(value, container)) != 0) {
                return result;
            }
            if (progress.step) {
                progress.step(++done);
            }
        }
        return 0;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace tvx
