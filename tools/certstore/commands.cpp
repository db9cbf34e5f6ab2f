// The certstore verbs over the crypt32 calls the suite itself uses.
#include "commands.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <strings.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

#include "crypt32/cert_details.h"
#include "win/cryptuiapi.h"
#include "win/errhandlingapi.h"
#include "win/libloaderapi.h"
#include "win/winerror.h"

namespace certstore {

namespace {

using Bytes = std::vector<BYTE>;

std::string errorText(DWORD code) {
    static const struct {
        DWORD code;
        const char* name;
    } names[] = {
        {static_cast<DWORD>(CRYPT_E_EXISTS),
         "CRYPT_E_EXISTS (already in the store: 'certstore list STORE' shows it)"},
        {static_cast<DWORD>(CRYPT_E_NOT_FOUND),
         "CRYPT_E_NOT_FOUND (no such certificate: 'certstore list STORE' shows the positions and "
         "thumbprints)"},
        {static_cast<DWORD>(CRYPT_E_ASN1_BADTAG),
         "CRYPT_E_ASN1_BADTAG (not a certificate: give a DER or PEM X.509 certificate)"},
        {static_cast<DWORD>(CRYPT_E_ASN1_EOD), "CRYPT_E_ASN1_EOD (truncated certificate)"},
        {static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT), "CRYPT_E_ASN1_CORRUPT (damaged certificate)"},
        {static_cast<DWORD>(E_INVALIDARG), "E_INVALIDARG (invalid argument)"},
        {static_cast<DWORD>(E_ACCESSDENIED),
         "E_ACCESSDENIED (access denied: the machine's stores need root)"},
        {ERROR_FILE_NOT_FOUND,
         "ERROR_FILE_NOT_FOUND (no such store: MY, ROOT, CA and AddressBook always exist, another "
         "store exists once a certificate was added to it)"},
        {ERROR_CANTOPEN,
         "ERROR_CANTOPEN (the store database cannot be opened: check that its folder is writable, "
         "or set VANTOR_REGISTRY_DIR)"},
        {ERROR_CANCELLED, "ERROR_CANCELLED (no display for the viewer)"},
    };
    for (const auto& n : names) {
        if (n.code == code) {
            return n.name;
        }
    }
    char buf[32];
    std::snprintf(buf, sizeof(buf), "0x%08X", code);
    return buf;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "certstore: %s: %s\n", what.c_str(), errorText(GetLastError()).c_str());
    return 1;
}

std::string narrow(const char16_t* w) {
    std::string out;
    for (; w && *w; ++w) {
        char16_t c = *w;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

HCERTSTORE openStore(const std::string& name, const Options& o, bool existing) {
    // The predefined stores always exist, as on Windows; another name must have been made.
    for (const char* predefined : {"MY", "ROOT", "CA", "AddressBook"}) {
        if (strcasecmp(name.c_str(), predefined) == 0) {
            existing = false;
        }
    }
    DWORD flags = (o.machine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER) |
                  (existing ? CERT_STORE_OPEN_EXISTING_FLAG : 0);
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING, 0, flags, name.c_str());
}

std::string thumbprint(PCCERT_CONTEXT ctx) {
    BYTE hash[20];
    DWORD cb = sizeof(hash);
    if (!CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, hash, &cb)) {
        return {};
    }
    std::string out;
    char two[3];
    for (DWORD i = 0; i < cb; ++i) {
        std::snprintf(two, sizeof(two), "%02x", hash[i]);
        out += two;
    }
    return out;
}

std::string nameOf(PCCERT_CONTEXT ctx, DWORD type) {
    DWORD n = CertGetNameStringA(ctx, type, 0, nullptr, nullptr, 0);
    std::string s(n, '\0');
    CertGetNameStringA(ctx, type, 0, nullptr, s.data(), n);
    s.resize(n ? n - 1 : 0);
    return s;
}

std::string subjectOf(PCCERT_CONTEXT ctx, bool issuer) {
    return vantor::crypt32::x500Name(issuer ? ctx->pCertInfo->Issuer : ctx->pCertInfo->Subject);
}

// Prints the key provider information; false when there is none.
bool printKeyInfo(PCCERT_CONTEXT ctx, const char* indent) {
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) {
        return false;
    }
    Bytes buf(cb);
    if (!CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &cb)) {
        return false;
    }
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
    std::printf("%scontainer   %s\n", indent, narrow(info->pwszContainerName).c_str());
    std::printf("%sprovider    %s\n", indent, narrow(info->pwszProvName).c_str());
    std::printf("%sprov type   %u\n", indent, info->dwProvType);
    std::printf("%skey spec    %u (%s)\n", indent, info->dwKeySpec,
                info->dwKeySpec == AT_SIGNATURE     ? "AT_SIGNATURE"
                : info->dwKeySpec == AT_KEYEXCHANGE ? "AT_KEYEXCHANGE"
                                                    : "other");
    std::printf("%sflags       0x%08X\n", indent, info->dwFlags);
    return true;
}

// The certificate named by position ("2") or thumbprint prefix ("3fa1..."); null when none.
PCCERT_CONTEXT pick(HCERTSTORE store, const std::string& which) {
    bool numeric = !which.empty() && which.size() < 6 &&
                   which.find_first_not_of("0123456789") == std::string::npos;
    int position = 0;
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
        ++position;
        if (numeric ? position == std::stoi(which)
                    : thumbprint(ctx).rfind(std::string(which), 0) == 0 && which.size() >= 4) {
            return ctx;
        }
    }
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return nullptr;
}

// The certificate's details as `certstore show` prints them.
int showDetails(PCCERT_CONTEXT ctx) {
    auto t = vantor::crypt32::describeCertificate(ctx->pbCertEncoded, ctx->cbCertEncoded);
    std::printf("issued to    %s\nissued by    %s\n", t->issuedTo.c_str(), t->issuedBy.c_str());
    std::printf("version      %s\nserial       %s\nsignature    %s\n", t->version.c_str(),
                t->serial.c_str(), t->signatureAlgorithm.c_str());
    std::printf("issuer       %s\nsubject      %s\n", t->issuer.c_str(), t->subject.c_str());
    std::printf("valid from   %s\nvalid to     %s\npublic key   %s\n", t->validFrom.c_str(),
                t->validTo.c_str(), t->publicKey.c_str());
    std::printf("purposes     ");
    if (t->allPurposes) {
        std::printf("all\n");
    } else {
        for (size_t i = 0; i < t->purposes.size(); ++i) {
            std::printf("%s%s", i ? ", " : "", t->purposes[i].c_str());
        }
        std::printf("\n");
    }
    for (const auto& e : t->extensions) {
        std::printf("extension    %s%s\n", e.name.c_str(), e.critical ? " (critical)" : "");
        std::string v = e.value;
        size_t at = 0;
        while ((at = v.find('\n', at)) != std::string::npos) {
            v.replace(at, 1, "\n               ");
            at += 16;
        }
        std::printf("               %s\n", v.c_str());
    }
    std::printf("sha1         %s\nsha256       %s\n", t->sha1.c_str(), t->sha256.c_str());
    printKeyInfo(ctx, "");
    return 0;
}

// Runs `use` on certificate `which` of store `name` and returns its exit code; the store is
// closed and the certificate freed afterwards (`use` sets it to null when a call has freed it).
template <typename Use>
int withCertificate(const std::string& name, const std::string& which, const Options& o,
                    Use&& use) {
    HCERTSTORE store = openStore(name, o, true);
    if (store == nullptr) {
        return fail("cannot open store " + name);
    }
    PCCERT_CONTEXT ctx = pick(store, which);
    const int rc = ctx == nullptr ? fail("no certificate " + which + " in " + name) : use(ctx);
    CertFreeCertificateContext(ctx);
    CertCloseStore(store, 0);
    return rc;
}

std::optional<Bytes> readCertificateFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // PEM: decode the first certificate; anything else is taken as DER.
    static const char kPem[] = "-----BEGIN";
    if (data.size() > sizeof(kPem) &&
        std::search(data.begin(), data.end(), kPem, kPem + sizeof(kPem) - 1) != data.end()) {
        BIO* bio = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
        X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        if (x == nullptr) {
            return Bytes();
        }
        int n = i2d_X509(x, nullptr);
        Bytes der(static_cast<size_t>(n > 0 ? n : 0));
        unsigned char* p = der.data();
        i2d_X509(x, &p);
        X509_free(x);
        return der;
    }
    return data;
}

// The certificate in `file` as a context; null, with the reason printed, when the file cannot
// be read or holds no certificate.
PCCERT_CONTEXT certificateFromFile(const std::string& file) {
    auto der = readCertificateFile(file);
    if (!der) {
        std::fprintf(stderr, "certstore: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
        return nullptr;
    }
    PCCERT_CONTEXT cert = CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der->data(), static_cast<DWORD>(der->size()));
    if (cert == nullptr) {
        fail(file + " is not a certificate");
    }
    return cert;
}

}  // namespace

int list(const std::string& name, const Options& o) {
    HCERTSTORE store = openStore(name, o, true);
    if (store == nullptr) {
        return fail("cannot open store " + name);
    }
    int position = 0;
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
        ++position;
        std::printf("[%d] %s\n", position, nameOf(ctx, CERT_NAME_FRIENDLY_DISPLAY_TYPE).c_str());
        std::printf("    subject     %s\n", subjectOf(ctx, false).c_str());
        std::printf("    issuer      %s\n", subjectOf(ctx, true).c_str());
        auto text = vantor::crypt32::describeCertificate(ctx->pbCertEncoded, ctx->cbCertEncoded);
        if (text) {
            std::printf("    serial      %s\n", text->serial.c_str());
            std::printf("    valid       %s .. %s\n", text->validFrom.c_str(),
                        text->validTo.c_str());
        }
        std::printf("    sha1        %s\n", thumbprint(ctx).c_str());
        if (!printKeyInfo(ctx, "    ")) {
            std::printf("    container   none (no key provider information)\n");
        }
    }
    std::printf("%d certificate(s) in %s (%s)\n", position, name.c_str(),
                o.machine ? "machine" : "current user");
    CertCloseStore(store, 0);
    return 0;
}

int show(const std::string& name, const std::string& which, const Options& o) {
    return withCertificate(name, which, o, [](PCCERT_CONTEXT& ctx) { return showDetails(ctx); });
}

int add(const std::string& name, const std::string& file, const Options& o) {
    PCCERT_CONTEXT cert = certificateFromFile(file);
    if (cert == nullptr) {
        return 1;
    }
    HCERTSTORE store = openStore(name, o, false);
    if (store == nullptr) {
        CertFreeCertificateContext(cert);
        return fail("cannot open store " + name);
    }
    int rc = 0;
    PCCERT_CONTEXT stored = nullptr;
    if (!CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_NEWER, &stored)) {
        if (GetLastError() == static_cast<DWORD>(CRYPT_E_EXISTS)) {
            std::printf("already in %s; left as it is\n", name.c_str());
        } else {
            rc = fail("cannot add " + file);
        }
    } else {
        std::printf("added to %s: %s (sha1 %s)\n", name.c_str(),
                    nameOf(stored, CERT_NAME_SIMPLE_DISPLAY_TYPE).c_str(),
                    thumbprint(stored).c_str());
        if (!o.container.empty()) {
            std::u16string container(o.container.begin(), o.container.end());
            std::u16string provider(o.provider.begin(), o.provider.end());
            CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 0,
                                     nullptr,          o.keySpec};
            if (!CertSetCertificateContextProperty(stored, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
                rc = fail("cannot set the key provider information");
            }
        }
    }
    CertFreeCertificateContext(stored);
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
    return rc;
}

int remove(const std::string& name, const std::string& which, const Options& o) {
    return withCertificate(name, which, o, [&](PCCERT_CONTEXT& ctx) {
        const std::string shown = nameOf(ctx, CERT_NAME_SIMPLE_DISPLAY_TYPE);
        const BOOL deleted = CertDeleteCertificateFromStore(ctx);
        ctx = nullptr;  // freed by the delete, whether it succeeded or not
        if (!deleted) {
            return fail("cannot delete " + which);
        }
        std::printf("deleted from %s: %s\n", name.c_str(), shown.c_str());
        return 0;
    });
}

int keyInfo(const std::string& name, const std::string& which, const Options& o) {
    return withCertificate(name, which, o, [](PCCERT_CONTEXT& ctx) {
        if (!printKeyInfo(ctx, "")) {
            std::printf("no key provider information\n");
            return 1;
        }
        return 0;
    });
}

int view(const std::string& file, const Options& o) {
    PCCERT_CONTEXT cert = certificateFromFile(file);
    if (cert == nullptr) {
        return 1;
    }
    int rc = 0;
    HMODULE ui = LoadLibraryA("cryptui.dll");
    auto fn = ui ? ProcAs<PFN_CryptUIDlgViewCertificateA>(
                       GetProcAddress(ui, "CryptUIDlgViewCertificateA"))
                 : nullptr;
    if (fn == nullptr) {
        std::fprintf(stderr,
                     "certstore: the viewer cryptui.dll (cryptui.so) cannot be loaded: it belongs "
                     "beside certstore or in the suite's library folder\n");
        rc = 1;
    } else {
        CRYPTUI_VIEWCERTIFICATE_STRUCTA info{};
        info.dwSize = sizeof(info);
        info.pCertContext = cert;
        info.nStartPage = o.page == "details" ? CRYPTUI_VIEW_PAGE_DETAILS
                          : o.page == "path"  ? CRYPTUI_VIEW_PAGE_PATH
                                              : CRYPTUI_VIEW_PAGE_GENERAL;
        SetLastError(0);
        if (!fn(&info, nullptr)) {
            if (GetLastError() == ERROR_CANCELLED) {
                std::fprintf(stderr,
                             "certstore: the viewer could not open a window (no display: set "
                             "DISPLAY, or QT_QPA_PLATFORM=offscreen)\n");
                rc = 1;
            } else {
                rc = fail("cannot show the viewer");
            }
        }
    }
    if (ui) {
        FreeLibrary(ui);
    }
    CertFreeCertificateContext(cert);
    return rc;
}

}  // namespace certstore
