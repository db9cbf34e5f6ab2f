// Certificate context entry points: create, duplicate, free, and the context registry helpers.
#include <memory>

#include "exports_common.h"

namespace vantor::crypt32 {

CertObject& requireContext(PCCERT_CONTEXT ctx) {
    CertObject* cert = lookupContext(ctx);
    if (cert == nullptr) {
        raise(E_INVALIDARG);
    }
    return *cert;
}

PCCERT_CONTEXT contextForEntry(CertStore& store, const StoredCert& entry) {
    std::unique_ptr<CertObject> cert = CertObject::decode(entry.der.data(), entry.der.size());
    cert->attach(&store, entry.id);
    CertObject* raw = cert.release();
    registerContext(raw);
    return raw->context();
}

void releaseContext(CertObject& cert) {
    if (cert.release()) {
        unregisterContext(&cert);
        delete &cert;
    }
}

PropertyMap contextProperties(CertObject& cert) {
    if (cert.store()) {
        return cert.store()->backend().properties(cert.entryId());
    }
    std::lock_guard<std::mutex> lock(cert.localMutex());
    return cert.localProperties();
}

std::optional<Bytes> contextProperty(CertObject& cert, DWORD propId) {
    PropertyMap props = contextProperties(cert);
    auto it = props.find(propId);
    if (it == props.end()) {
        return std::nullopt;
    }
    return it->second;
}

void setContextProperty(CertObject& cert, DWORD propId, const std::optional<Bytes>& value) {
    if (CertStore* store = cert.store()) {
        if (store->readOnly()) {
            raise(E_ACCESSDENIED);
        }
        store->backend().setProperty(cert.entryId(), propId, value);
        return;
    }
    std::lock_guard<std::mutex> lock(cert.localMutex());
    if (value) {
        cert.localProperties()[propId] = *value;
    } else {
        cert.localProperties().erase(propId);
    }
}

}  // namespace vantor::crypt32

using namespace vantor::crypt32;

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded) {
    return guarded<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
        if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING) {
            raise(E_INVALIDARG);
        }
        std::unique_ptr<CertObject> cert = CertObject::decode(pbCertEncoded, cbCertEncoded);
        CertObject* raw = cert.release();
        registerContext(raw);
        return raw->context();
    });
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext == nullptr) {
        return TRUE;
    }
    return guarded<BOOL>(FALSE, [&] {
        releaseContext(requireContext(pCertContext));
        return TRUE;
    });
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext == nullptr) {
        return nullptr;
    }
    return guarded<PCCERT_CONTEXT>(nullptr, [&] {
        requireContext(pCertContext).addRef();
        return pCertContext;
    });
}
