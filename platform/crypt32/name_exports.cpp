// Name entry points: CertGetNameStringA/W and CertNameToStrA/W.
#include <string>

#include "exports_common.h"
#include "names.h"
#include "text.h"

namespace vantor::crypt32 {

namespace {

// Writes text with the Windows counting rules: the result counts the terminating NUL, a null
// buffer or zero size only measures, and a short buffer receives a truncated, terminated text.
DWORD putText(const std::string& text, LPSTR out, DWORD cch) {
    DWORD need = static_cast<DWORD>(text.size() + 1);
    if (out == nullptr || cch == 0) {
        return need;
    }
    size_t n = std::min<size_t>(text.size(), cch - 1);
    // Never cut a UTF-8 sequence in half.
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    text.copy(out, n);
    out[n] = '\0';
    return static_cast<DWORD>(n + 1);
}

DWORD putText(const std::u16string& text, LPWSTR out, DWORD cch) {
    DWORD need = static_cast<DWORD>(text.size() + 1);
    if (out == nullptr || cch == 0) {
        return need;
    }
    size_t n = std::min<size_t>(text.size(), cch - 1);
    text.copy(out, n);
    out[n] = u'\0';
    return static_cast<DWORD>(n + 1);
}

std::string nameString(PCCERT_CONTEXT ctx, DWORD type, DWORD flags, void* para) {
    CertObject& cert = requireContext(ctx);
    if (type == CERT_NAME_FRIENDLY_DISPLAY_TYPE && !(flags & CERT_NAME_ISSUER_FLAG)) {
        if (auto raw = contextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID)) {
            std::u16string wide(raw->size() / 2, u'\0');
            for (size_t i = 0; i < wide.size(); ++i) {
                wide[i] = static_cast<char16_t>((*raw)[2 * i] | (*raw)[2 * i + 1] << 8);
            }
            wide = wide.substr(0, wide.find(u'\0'));
            if (!wide.empty()) {
                return utf16ToUtf8(wide);
            }
        }
    }
    return certNameString(*ctx->pCertInfo, type, flags, para);
}

std::string nameToStr(PCERT_NAME_BLOB name, DWORD strType) {
    if (name == nullptr) {
        raise(E_INVALIDARG);
    }
    auto text = nameToString(name->pbData, name->cbData, strType);
    if (!text) {
        raise(CRYPT_E_ASN1_BADTAG);
    }
    return *text;
}

}  // namespace

}  // namespace vantor::crypt32

using namespace vantor::crypt32;

DWORD CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                         LPSTR pszNameString, DWORD cchNameString) {
    std::string text = guarded<std::string>(
        std::string(), [&] { return nameString(pCertContext, dwType, dwFlags, pvTypePara); });
    return putText(text, pszNameString, cchNameString);
}

DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                         LPWSTR pszNameString, DWORD cchNameString) {
    std::string text = guarded<std::string>(
        std::string(), [&] { return nameString(pCertContext, dwType, dwFlags, pvTypePara); });
    return putText(utf8ToUtf16(text), pszNameString, cchNameString);
}

DWORD CertNameToStrA(DWORD, PCERT_NAME_BLOB pName, DWORD dwStrType, LPSTR psz, DWORD csz) {
    std::string text =
        guarded<std::string>(std::string(), [&] { return nameToStr(pName, dwStrType); });
    return putText(text, psz, csz);
}

DWORD CertNameToStrW(DWORD, PCERT_NAME_BLOB pName, DWORD dwStrType, LPWSTR psz, DWORD csz) {
    std::string text =
        guarded<std::string>(std::string(), [&] { return nameToStr(pName, dwStrType); });
    return putText(utf8ToUtf16(text), psz, csz);
}
