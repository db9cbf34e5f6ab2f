// CryptUIDlgViewCertificateA: the flat export of cryptui.so, a guard around the Qt viewer.
#include <new>

#include "ui/qt_host.h"
#include "viewer_dialog.h"
#include "win/cryptuiapi.h"
#include "win/errhandlingapi.h"
#include "win/winerror.h"

namespace {

// Offset just past a member, to tell whether the caller's dwSize covers it.
template <typename M>
size_t endOf(M CRYPTUI_VIEWCERTIFICATE_STRUCTA::*member) {
    CRYPTUI_VIEWCERTIFICATE_STRUCTA probe{};
    return static_cast<size_t>(reinterpret_cast<const char*>(&(probe.*member)) -
                               reinterpret_cast<const char*>(&probe)) +
           sizeof(M);
}

// Whether the current user's "MY" store binds a private key to this certificate.
bool hasPrivateKey(const std::vector<BYTE>& der) {
    HCERTSTORE my = CertOpenStore(
        CERT_STORE_PROV_SYSTEM_A, 0, 0,
        CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG,
        "MY");
    if (my == nullptr) {
        return false;
    }
    bool found = false;
    PCCERT_CONTEXT mine =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (mine) {
        BYTE hash[20];
        DWORD cb = sizeof(hash);
        if (CertGetCertificateContextProperty(mine, CERT_SHA1_HASH_PROP_ID, hash, &cb)) {
            CRYPT_HASH_BLOB blob{cb, hash};
            PCCERT_CONTEXT stored = CertFindCertificateInStore(my, X509_ASN_ENCODING, 0,
                                                               CERT_FIND_SHA1_HASH, &blob, nullptr);
            DWORD size = 0;
            found = stored && CertGetCertificateContextProperty(stored, CERT_KEY_PROV_INFO_PROP_ID,
                                                                nullptr, &size);
            CertFreeCertificateContext(stored);
        }
        CertFreeCertificateContext(mine);
    }
    CertCloseStore(my, 0);
    return found;
}

BOOL view(const CRYPTUI_VIEWCERTIFICATE_STRUCTA& info) {
    PCCERT_CONTEXT ctx = info.pCertContext;
    if (ctx == nullptr || ctx->pbCertEncoded == nullptr || ctx->cbCertEncoded == 0) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    // Only the encoding is read: the context may belong to another copy of the store code.
    std::vector<BYTE> der(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded);
    auto text = vantor::crypt32::describeCertificate(der.data(), der.size());
    if (!text) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
        return FALSE;
    }
    vantor::ui::ApplicationScope app;
    if (!app.ok()) {
        // Without any display a window cannot open; report it as cancelled, never hang.
        SetLastError(ERROR_CANCELLED);
        return FALSE;
    }
    QWidget* parent = nullptr;
    if (info.dwSize >= endOf(&CRYPTUI_VIEWCERTIFICATE_STRUCTA::hwndParent)) {
        parent = vantor::ui::widgetFromHwnd(info.hwndParent);
    }
    QString title;
    if (info.dwSize >= endOf(&CRYPTUI_VIEWCERTIFICATE_STRUCTA::szTitle) && info.szTitle) {
        title = QString::fromUtf8(info.szTitle);
    }
    vantor::cryptui::ViewerDialog dialog(der, *text, hasPrivateKey(der), title, parent);
    if (info.dwSize >= endOf(&CRYPTUI_VIEWCERTIFICATE_STRUCTA::nStartPage)) {
        dialog.showPage(static_cast<int>(info.nStartPage));
    }
    dialog.exec();
    return TRUE;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) BOOL CryptUIDlgViewCertificateA(
    PCCRYPTUI_VIEWCERTIFICATE_STRUCTA pCertViewInfo, BOOL* pfPropertiesChanged) {
    if (pfPropertiesChanged) {
        *pfPropertiesChanged = FALSE;
    }
    if (pCertViewInfo == nullptr ||
        pCertViewInfo->dwSize < endOf(&CRYPTUI_VIEWCERTIFICATE_STRUCTA::pCertContext)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    try {
        return view(*pCertViewInfo);
    } catch (const std::bad_alloc&) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
    } catch (...) {
        SetLastError(static_cast<DWORD>(E_UNEXPECTED));
    }
    return FALSE;
}
