// Property entry points and enhanced key usage: set, get, enumerate, and the EKU view.
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "exports_common.h"

namespace vantor::crypt32 {

namespace {

// The size-query half of the protocol: a null buffer learns the size, a short one fails with
// ERROR_MORE_DATA and learns it too.
BOOL reportSize(size_t size, const void* out, DWORD* pcb) {
    *pcb = static_cast<DWORD>(size);
    if (out == nullptr) {
        return TRUE;
    }
    raise(ERROR_MORE_DATA);
}

// Copies a property value out with the size-query protocol.
BOOL copyOut(const BYTE* data, size_t size, void* out, DWORD* pcb) {
    if (out == nullptr) {
        *pcb = static_cast<DWORD>(size);
        return TRUE;
    }
    if (*pcb < size) {
        *pcb = static_cast<DWORD>(size);
        raise(ERROR_MORE_DATA);
    }
    if (size) {
        std::memcpy(out, data, size);
    }
    *pcb = static_cast<DWORD>(size);
    return TRUE;
}

std::optional<KeyProvInfo> storedKeyProvInfo(CertObject& cert) {
    auto raw = contextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID);
    if (!raw) {
        return std::nullopt;
    }
    auto info = parseKeyProvInfo(raw->data(), raw->size());
    if (!info) {
        // Damaged on disk: reported as unreadable, never handed out half-parsed.
        raise(CRYPT_E_ASN1_CORRUPT);
    }
    return info;
}

// Usage identifiers of a DER EnhancedKeyUsage (SEQUENCE OF OID); throws on damage.
std::vector<std::string> decodeUsage(const BYTE* der, size_t size) {
    if (size > 0x7FFFFFFF) {
        raise(CRYPT_E_ASN1_CORRUPT);
    }
    const unsigned char* p = der;
    EXTENDED_KEY_USAGE* eku = d2i_EXTENDED_KEY_USAGE(nullptr, &p, static_cast<long>(size));
    if (eku == nullptr) {
        raise(CRYPT_E_ASN1_BADTAG);
    }
    std::vector<std::string> out;
    for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
        char buf[128];
        int n = OBJ_obj2txt(buf, sizeof(buf), sk_ASN1_OBJECT_value(eku, i), 1);
        if (n > 0 && static_cast<size_t>(n) < sizeof(buf)) {
            out.emplace_back(buf, static_cast<size_t>(n));
        }
    }
    EXTENDED_KEY_USAGE_free(eku);
    return out;
}

std::optional<std::vector<std::string>> extensionUsage(const CERT_INFO& info) {
    for (DWORD i = 0; i < info.cExtension; ++i) {
        const CERT_EXTENSION& e = info.rgExtension[i];
        if (e.pszObjId && std::strcmp(e.pszObjId, szOID_ENHANCED_KEY_USAGE) == 0) {
            return decodeUsage(e.Value.pbData, e.Value.cbData);
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::string>> enhancedKeyUsage(CertObject& cert, DWORD flags) {
    std::optional<std::vector<std::string>> ext;
    std::optional<std::vector<std::string>> prop;
    if (!(flags & CERT_FIND_PROP_ONLY_ENHKEY_USAGE_FLAG)) {
        ext = extensionUsage(*cert.context()->pCertInfo);
    }
    if (!(flags & CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG)) {
        if (auto raw = contextProperty(cert, CERT_ENHKEY_USAGE_PROP_ID)) {
            prop = decodeUsage(raw->data(), raw->size());
        }
    }
    if (ext && prop) {
        // Both limit the certificate: only what both allow remains.
        std::vector<std::string> both;
        for (const auto& u : *ext) {
            if (std::find(prop->begin(), prop->end(), u) != prop->end()) {
                both.push_back(u);
            }
        }
        return both;
    }
    return ext ? ext : prop;
}

}  // namespace vantor::crypt32

using namespace vantor::crypt32;

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD,
                                       const void* pvData) {
    return guarded<BOOL>(FALSE, [&] {
        CertObject& cert = requireContext(pCertContext);
        std::optional<Bytes> value;
        switch (dwPropId) {
            case 0:
            case CERT_SHA1_HASH_PROP_ID:
            case CERT_MD5_HASH_PROP_ID:
                // Hashes are computed from the encoding; a stored one could only disagree.
                raise(E_INVALIDARG);
            case CERT_KEY_PROV_HANDLE_PROP_ID:
            case CERT_KEY_CONTEXT_PROP_ID:
                // Live provider handles cannot outlive the process that stores them.
                raise(ERROR_CALL_NOT_IMPLEMENTED);
            case CERT_KEY_PROV_INFO_PROP_ID:
                if (pvData) {
                    value = serializeKeyProvInfo(
                        keyProvInfoFrom(*static_cast<const CRYPT_KEY_PROV_INFO*>(pvData)));
                }
                break;
            case CERT_KEY_SPEC_PROP_ID:
                if (pvData) {
                    const auto* p = static_cast<const BYTE*>(pvData);
                    value = Bytes(p, p + sizeof(DWORD));
                }
                break;
            default:
                if (pvData) {
                    const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvData);
                    if (blob->cbData && blob->pbData == nullptr) {
                        raise(E_INVALIDARG);
                    }
                    value =
                        blob->cbData ? Bytes(blob->pbData, blob->pbData + blob->cbData) : Bytes();
                }
                break;
        }
        setContextProperty(cert, dwPropId, value);
        return TRUE;
    });
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                       DWORD* pcbData) {
    return guarded<BOOL>(FALSE, [&] {
        CertObject& cert = requireContext(pCertContext);
        if (pcbData == nullptr) {
            raise(E_INVALIDARG);
        }
        switch (dwPropId) {
            case CERT_SHA1_HASH_PROP_ID: {
                Bytes h = cert.sha1();
                return copyOut(h.data(), h.size(), pvData, pcbData);
            }
            case CERT_MD5_HASH_PROP_ID: {
                Bytes h = cert.md5();
                return copyOut(h.data(), h.size(), pvData, pcbData);
            }
            case CERT_KEY_PROV_INFO_PROP_ID: {
                auto info = storedKeyProvInfo(cert);
                if (!info) {
                    raise(CRYPT_E_NOT_FOUND);
                }
                size_t size = flattenKeyProvInfo(*info, nullptr);
                if (pvData == nullptr || *pcbData < size) {
                    return reportSize(size, pvData, pcbData);
                }
                flattenKeyProvInfo(*info, static_cast<BYTE*>(pvData));
                *pcbData = static_cast<DWORD>(size);
                return TRUE;
            }
            case CERT_KEY_SPEC_PROP_ID: {
                DWORD spec = 0;
                if (auto raw = contextProperty(cert, CERT_KEY_SPEC_PROP_ID);
                    raw && raw->size() == sizeof(DWORD)) {
                    std::memcpy(&spec, raw->data(), sizeof(spec));
                } else if (auto info = storedKeyProvInfo(cert)) {
                    spec = info->keySpec;
                } else {
                    raise(CRYPT_E_NOT_FOUND);
                }
                return copyOut(reinterpret_cast<const BYTE*>(&spec), sizeof(spec), pvData, pcbData);
            }
            default: {
                auto raw = contextProperty(cert, dwPropId);
                if (!raw) {
                    raise(CRYPT_E_NOT_FOUND);
                }
                return copyOut(raw->data(), raw->size(), pvData, pcbData);
            }
        }
    });
}

DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId) {
    return guarded<DWORD>(0, [&]() -> DWORD {
        CertObject& cert = requireContext(pCertContext);
        PropertyMap props = contextProperties(cert);
        auto it = props.upper_bound(dwPropId);
        if (it == props.end()) {
            SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
            return 0;
        }
        return it->first;
    });
}

BOOL CertGetEnhancedKeyUsage(PCCERT_CONTEXT pCertContext, DWORD dwFlags, PCERT_ENHKEY_USAGE pUsage,
                             DWORD* pcbUsage) {
    return guarded<BOOL>(FALSE, [&] {
        CertObject& cert = requireContext(pCertContext);
        if (pcbUsage == nullptr) {
            raise(E_INVALIDARG);
        }
        auto usage = enhancedKeyUsage(cert, dwFlags);
        std::vector<std::string> list = usage ? *usage : std::vector<std::string>();
        // Layout: the structure, the pointer array, then the NUL-terminated identifiers.
        size_t size = sizeof(CTL_USAGE) + list.size() * sizeof(LPSTR);
        for (const auto& u : list) {
            size += u.size() + 1;
        }
        if (pUsage == nullptr || *pcbUsage < size) {
            reportSize(size, pUsage, pcbUsage);
        } else {
            auto* base = reinterpret_cast<BYTE*>(pUsage);
            auto** array = reinterpret_cast<LPSTR*>(base + sizeof(CTL_USAGE));
            char* text =
                reinterpret_cast<char*>(base + sizeof(CTL_USAGE) + list.size() * sizeof(LPSTR));
            for (size_t i = 0; i < list.size(); ++i) {
                std::memcpy(text, list[i].c_str(), list[i].size() + 1);
                array[i] = text;
                text += list[i].size() + 1;
            }
            pUsage->cUsageIdentifier = static_cast<DWORD>(list.size());
            pUsage->rgpszUsageIdentifier = list.empty() ? nullptr : array;
            *pcbUsage = static_cast<DWORD>(size);
        }
        // No extension and no property: good for every use (CRYPT_E_NOT_FOUND); an empty list
        // from them: good for none (0).
        SetLastError(usage ? ERROR_SUCCESS : static_cast<DWORD>(CRYPT_E_NOT_FOUND));
        return TRUE;
    });
}
