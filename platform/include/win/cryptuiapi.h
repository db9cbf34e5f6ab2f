// The certificate viewer of "cryptui.dll": CryptUIDlgViewCertificateA and its structure.
#pragma once

#include "win/wincrypt_certs.h"
#include "win/windef.h"
#include "win/winuser.h"

// Layout as Windows declares it; callers set dwSize to sizeof the structure they know (72 on
// 32-bit Windows). The viewer reads no member that lies beyond dwSize.
struct CRYPTUI_VIEWCERTIFICATE_STRUCTA {
    DWORD dwSize;
    HWND hwndParent;
    DWORD dwFlags;
    LPCSTR szTitle;
    PCCERT_CONTEXT pCertContext;
    LPCSTR* rgszPurposes;
    DWORD cPurposes;
    const void* pCryptProviderData;
    BOOL fpCryptProviderDataTrustedUsage;
    DWORD idxSigner;
    DWORD idxCert;
    BOOL fCounterSigner;
    DWORD idxCounterSigner;
    DWORD cStores;
    HCERTSTORE* rghStores;
    DWORD cPropSheetPages;
    const void* rgPropSheetPages;
    DWORD nStartPage;
};
using PCCRYPTUI_VIEWCERTIFICATE_STRUCTA = const CRYPTUI_VIEWCERTIFICATE_STRUCTA*;

// Which tab opens first (nStartPage): 0 general, 1 details, 2 certification path.
#define CRYPTUI_VIEW_PAGE_GENERAL 0
#define CRYPTUI_VIEW_PAGE_DETAILS 1
#define CRYPTUI_VIEW_PAGE_PATH 2

// Shows the certificate modally. Returns TRUE when the dialog was shown and closed; FALSE with
// the last error set when it could not be shown (bad argument, no display). pfPropertiesChanged
// always receives FALSE: the viewer changes nothing.
using PFN_CryptUIDlgViewCertificateA = BOOL (*)(PCCRYPTUI_VIEWCERTIFICATE_STRUCTA pCertViewInfo,
                                                BOOL* pfPropertiesChanged);
extern "C" BOOL CryptUIDlgViewCertificateA(PCCRYPTUI_VIEWCERTIFICATE_STRUCTA pCertViewInfo,
                                           BOOL* pfPropertiesChanged);
