// KP_CERTIFICATE on the card key handle: the certificate stored beside the token key.
#include "card_certificate.h"

#include "card_objects.h"
#include "container_name.h"
#include "key_blobs.h"
#include "provider_codes.h"
#include "smart_logon.h"
#include "win/wincrypt_certs.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

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

namespace tvx {
namespace {

struct CertFree {
    void operator()(PCCERT_CONTEXT cert) const { CertFreeCertificateContext(cert); }
};
using Cert = std::unique_ptr<const CERT_CONTEXT, CertFree>;

bool hasSmartLogonUsage(PCCERT_CONTEXT cert) {
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(cert, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size)) {
        return false;
    }
    std::vector<std::uint8_t> buffer(size);
    auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer.data());
    if (!CertGetEnhancedKeyUsage(cert, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) {
        return false;
    }
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_KP_SMARTCARD_LOGON) == 0) {
            return true;
        }
    }
    return false;
}

// The certificate object beside the key: serial number big-endian, issuer and subject DER.
DWORD writeCertificate(ProviderContext& ctx, const BYTE* der, DWORD length) {
    Cert cert(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, length));
    if (!cert) {
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    const CERT_INFO& info = *cert->pCertInfo;
    std::vector<std::uint8_t> serial(info.SerialNumber.pbData,
                                     info.SerialNumber.pbData + info.SerialNumber.cbData);
    std::reverse(serial.begin(), serial.end());
    std::vector<std::uint8_t> id = percentDecode(ctx.label);
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certType = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
    auto* text = reinterpret_cast<CK_UTF8CHAR*>(ctx.label.data());
    CK_ATTRIBUTE object[] = {
        {CKA_CLASS, &certClass, sizeof certClass},
        {CKA_CERTIFICATE_TYPE, &certType, sizeof certType},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &no, sizeof no},
        {CKA_LABEL, text, static_cast<CK_ULONG>(ctx.label.size())},
        {CKA_ID, id.data(), static_cast<CK_ULONG>(id.size())},
        {CKA_VALUE, const_cast<BYTE*>(der), length},
        {CKA_SERIAL_NUMBER, serial.data(), static_cast<CK_ULONG>(serial.size())},
        {CKA_ISSUER, info.Issuer.pbData, info.Issuer.cbData},
        {CKA_SUBJECT, info.Subject.pbData, info.Subject.cbData},
    };
    CK_ATTRIBUTE search[] = {
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_CLASS, &certClass, sizeof certClass},
        {CKA_ID, id.data(), static_cast<CK_ULONG>(id.size())},
    };
    CK_OBJECT_HANDLE created = 0;
    if (replaceObject(ctx.card->session, search, 3, object, 10, &created) != CKR_OK) {
        return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
    }
    if (hasSmartLogonUsage(cert.get())) {
        writeSmartLogonMarker(ctx.card->session, ctx.label);  // its outcome does not matter
    }
    return 0;
}

// The DER header's length; only the header bytes are read (the caller gives no length).
DWORD derLength(const BYTE* data, DWORD* length) {
    if (data[0] != 0x30) {
        return static_cast<DWORD>(NTE_FAIL);
    }
    const std::size_t header = data[1] < 0x80 ? 2 : 2 + std::min<std::size_t>(data[1] - 0x80u, 4);
    return certificateLength({data, header}, length);
}

}  // namespace

DWORD setCardKeyParam(ProviderContext& ctx, DWORD param, const BYTE* data) {
    if (param == KP_CERTIFICATE) {
        if (data == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD length = 0;
        const DWORD header = derLength(data, &length);
        if (header != 0) {
            return header;
        }
        if (!ctx.containerName || ctx.bind() != 0) {
            return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
        }
        return writeCertificate(ctx, data, length);
    }
    if (param == KP_SMARTLOGON) {
        if (!ctx.containerName || ctx.bind() != 0) {
            return static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);
        }
        return writeSmartLogonMarker(ctx.card->session, ctx.label) == 0
                   ? 0
                   : static_cast<DWORD>(NTE_FAIL);
    }
    return static_cast<DWORD>(NTE_FAIL);
}

}  // namespace tvx
