// Name formatting over OpenSSL's X509_NAME decoding.
#include "names.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace vantor::crypt32 {

namespace {

struct NameFree {
    void operator()(X509_NAME* n) const { X509_NAME_free(n); }
};
using NamePtr = std::unique_ptr<X509_NAME, NameFree>;
struct NamesFree {
    void operator()(GENERAL_NAMES* n) const { GENERAL_NAMES_free(n); }
};
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, NamesFree>;

NamePtr decodeName(const BYTE* der, size_t size) {
    if (der == nullptr || size == 0 || size > 0x7FFFFFFF) {
        return nullptr;
    }
    const unsigned char* p = der;
    NamePtr name(d2i_X509_NAME(nullptr, &p, static_cast<long>(size)));
    return name;
}

std::string oidText(const ASN1_OBJECT* obj) {
    char buf[128];
    int n = OBJ_obj2txt(buf, sizeof(buf), obj, 1);
    return n > 0 && static_cast<size_t>(n) < sizeof(buf) ? std::string(buf, static_cast<size_t>(n))
                                                         : std::string();
}

// X.500 keys Windows prints for the attribute types it knows.
const char* x500Key(const std::string& oid) {
    static const struct {
        const char* oid;
        const char* key;
    } keys[] = {
        {"2.5.4.3", "CN"},
        {"2.5.4.7", "L"},
        {"2.5.4.10", "O"},
        {"2.5.4.11", "OU"},
        {"1.2.840.113549.1.9.1", "E"},
        {"2.5.4.6", "C"},
        {"2.5.4.8", "S"},
        {"2.5.4.9", "STREET"},
        {"2.5.4.12", "T"},
        {"2.5.4.42", "G"},
        {"2.5.4.43", "I"},
        {"2.5.4.4", "SN"},
        {"0.9.2342.19200300.100.1.25", "DC"},
        {"2.5.4.5", "SERIALNUMBER"},
        {"2.5.4.13", "Description"},
        {"2.5.4.17", "PostalCode"},
        {"2.5.4.18", "POBox"},
        {"2.5.4.20", "Phone"},
        {"2.5.4.24", "X21Address"},
        {"2.5.4.46", "dnQualifier"},
    };
    for (const auto& k : keys) {
        if (oid == k.oid) {
            return k.key;
        }
    }
    return nullptr;
}

bool isTextType(int type) {
    switch (type) {
        case V_ASN1_UTF8STRING:
        case V_ASN1_PRINTABLESTRING:
        case V_ASN1_IA5STRING:
        case V_ASN1_T61STRING:
        case V_ASN1_BMPSTRING:
        case V_ASN1_UNIVERSALSTRING:
        case V_ASN1_VISIBLESTRING:
        case V_ASN1_NUMERICSTRING:
        case V_ASN1_GENERALSTRING:
            return true;
        default:
            return false;
    }
}

// Text of an attribute value; values that are not strings print as hexadecimal.
std::string valueText(const ASN1_STRING* s) {
    if (s == nullptr) {
        return {};
    }
    if (isTextType(ASN1_STRING_type(s))) {
        unsigned char* utf8 = nullptr;
        int n = ASN1_STRING_to_UTF8(&utf8, s);
        if (n >= 0) {
            std::string out(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
            OPENSSL_free(utf8);
            return out;
        }
    }
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    const unsigned char* d = ASN1_STRING_get0_data(s);
    for (int i = 0; i < ASN1_STRING_length(s); ++i) {
        out += hex[d[i] >> 4];
        out += hex[d[i] & 0x0F];
    }
    return out;
}

bool needsQuotes(const std::string& v) {
    if (v.empty() || v.front() == ' ' || v.back() == ' ') {
        return true;
    }
    return v.find_first_of(",+=\"\n<>#;") != std::string::npos;
}

std::string quoted(const std::string& v) {
    std::string out = "\"";
    for (char c : v) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

GeneralNamesPtr altNames(const CERT_INFO& info, bool issuer) {
    const char* want = issuer ? "2.5.29.18" : szOID_SUBJECT_ALT_NAME2;
    for (DWORD i = 0; i < info.cExtension; ++i) {
        const CERT_EXTENSION& e = info.rgExtension[i];
        if (e.pszObjId && std::strcmp(e.pszObjId, want) == 0 && e.Value.cbData < 0x7FFFFFFF) {
            const unsigned char* p = e.Value.pbData;
            return GeneralNamesPtr(
                d2i_GENERAL_NAMES(nullptr, &p, static_cast<long>(e.Value.cbData)));
        }
    }
    return nullptr;
}

std::optional<std::string> altName(const CERT_INFO& info, bool issuer, int type) {
    GeneralNamesPtr names = altNames(info, issuer);
    if (!names) {
        return std::nullopt;
    }
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* g = sk_GENERAL_NAME_value(names.get(), i);
        if (g->type == type && (type == GEN_EMAIL || type == GEN_DNS || type == GEN_URI)) {
            return valueText(g->d.ia5);
        }
    }
    return std::nullopt;
}

std::optional<std::string> attributeOf(X509_NAME* name, const std::string& oid) {
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
        if (oidText(X509_NAME_ENTRY_get_object(e)) == oid) {
            return valueText(X509_NAME_ENTRY_get_data(e));
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> nameToString(const BYTE* der, size_t size, DWORD strType) {
    NamePtr name = decodeName(der, size);
    if (!name) {
        return std::nullopt;
    }
    DWORD format = strType & 0xFFFF;
    const char* rdnSep = ", ";
    if (strType & CERT_NAME_STR_SEMICOLON_FLAG) {
        rdnSep = "; ";
    } else if (strType & CERT_NAME_STR_CRLF_FLAG) {
        rdnSep = "\r\n";
    }
    const char* plusSep = (strType & CERT_NAME_STR_NO_PLUS_FLAG) ? " " : " + ";
    bool quoting = !(strType & CERT_NAME_STR_NO_QUOTING_FLAG);

    // Group the entries into RDNs (entries of one RDN share their set number).
    std::vector<std::vector<std::string>> rdns;
    int lastSet = -1;
    for (int i = 0; i < X509_NAME_entry_count(name.get()); ++i) {
        X509_NAME_ENTRY* e = X509_NAME_get_entry(name.get(), i);
        std::string value = valueText(X509_NAME_ENTRY_get_data(e));
        if (quoting && isTextType(ASN1_STRING_type(X509_NAME_ENTRY_get_data(e))) &&
            needsQuotes(value)) {
            value = quoted(value);
        }
        std::string oid = oidText(X509_NAME_ENTRY_get_object(e));
        std::string item;
        if (format == CERT_OID_NAME_STR) {
            item = oid + "=" + value;
        } else if (format == CERT_X500_NAME_STR) {
            const char* key = x500Key(oid);
            item = (key ? std::string(key) : "OID." + oid) + "=" + value;
        } else {
            item = value;
        }
        int set = X509_NAME_ENTRY_set(e);
        if (rdns.empty() || set != lastSet) {
            rdns.emplace_back();
        }
        rdns.back().push_back(std::move(item));
        lastSet = set;
    }
    if (strType & CERT_NAME_STR_REVERSE_FLAG) {
        std::reverse(rdns.begin(), rdns.end());
    }
    std::string out;
    for (size_t r = 0; r < rdns.size(); ++r) {
        if (r) {
            out += rdnSep;
        }
        for (size_t a = 0; a < rdns[r].size(); ++a) {
            if (a) {
                out += plusSep;
            }
            out += rdns[r][a];
        }
    }
    return out;
}

std::optional<std::string> nameAttribute(const BYTE* der, size_t size, const std::string& oid) {
    NamePtr name = decodeName(der, size);
    return name ? attributeOf(name.get(), oid) : std::nullopt;
}

std::string certNameString(const CERT_INFO& info, DWORD type, DWORD flags, const void* typePara) {
    bool issuer = (flags & CERT_NAME_ISSUER_FLAG) != 0;
    const CERT_NAME_BLOB& blob = issuer ? info.Issuer : info.Subject;
    NamePtr name = decodeName(blob.pbData, blob.cbData);
    switch (type) {
        case CERT_NAME_EMAIL_TYPE: {
            if (auto v = altName(info, issuer, GEN_EMAIL)) {
                return *v;
            }
            return name ? attributeOf(name.get(), szOID_RSA_emailAddr).value_or("") : "";
        }
        case CERT_NAME_RDN_TYPE: {
            DWORD strType = typePara ? *static_cast<const DWORD*>(typePara) : CERT_SIMPLE_NAME_STR;
            return nameToString(blob.pbData, blob.cbData, strType).value_or("");
        }
        case CERT_NAME_ATTR_TYPE: {
            if (typePara == nullptr || !name) {
                return {};
            }
            return attributeOf(name.get(), static_cast<const char*>(typePara)).value_or("");
        }
        case CERT_NAME_SIMPLE_DISPLAY_TYPE:
        case CERT_NAME_FRIENDLY_DISPLAY_TYPE: {
            if (name) {
                for (const char* oid : {szOID_COMMON_NAME, szOID_ORGANIZATIONAL_UNIT_NAME,
                                        szOID_ORGANIZATION_NAME, szOID_RSA_emailAddr}) {
                    if (auto v = attributeOf(name.get(), oid)) {
                        return *v;
                    }
                }
            }
            if (auto v = altName(info, issuer, GEN_EMAIL)) {
                return *v;
            }
            // Still nothing: the first attribute of the name, whatever it is.
            if (name && X509_NAME_entry_count(name.get()) > 0) {
                return valueText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name.get(), 0)));
            }
            return {};
        }
        case CERT_NAME_DNS_TYPE: {
            if (auto v = altName(info, issuer, GEN_DNS)) {
                return *v;
            }
            return name ? attributeOf(name.get(), szOID_COMMON_NAME).value_or("") : "";
        }
        case CERT_NAME_URL_TYPE:
            return altName(info, issuer, GEN_URI).value_or("");
        default:
            return {};
    }
}

}  // namespace vantor::crypt32
