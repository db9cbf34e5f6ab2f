// A certificate as a person reads it: the fields the viewer and the certstore tool show.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "win/wincrypt_certs.h"

namespace vantor::crypt32 {

struct ExtensionText {
    std::string oid;
    std::string name;  // short readable name, the OID when OpenSSL knows none
    bool critical = false;
    std::string value;  // readable value, hexadecimal when it has no known form
};

struct CertificateText {
    std::string issuedTo;  // simple display names
    std::string issuedBy;
    std::string subject;  // "CN=..., O=..., C=..." (most specific first)
    std::string issuer;
    std::string validFrom;  // "2026-12-08 09:00:00 UTC"
    std::string validTo;
    std::string version;  // "V3"
    std::string serial;   // big-endian hexadecimal, bytes separated by blanks
    std::string signatureAlgorithm;
    std::string publicKey;  // "RSA (2048 Bits)"
    std::string publicKeyHex;
    std::vector<std::string> purposes;  // readable enhanced key usages; empty: all purposes
    bool allPurposes = true;
    std::vector<ExtensionText> extensions;
    std::string sha1;  // uppercase hexadecimal, bytes separated by blanks
    std::string sha256;
    bool selfIssued = false;
};

// Decodes a DER certificate for display; nullopt when it is not a certificate.
std::optional<CertificateText> describeCertificate(const BYTE* der, size_t size);

// An encoded name in the Windows display form, most specific first: "CN=..., O=..., C=...";
// empty when it does not decode.
std::string x500Name(const CERT_NAME_BLOB& name);

// Readable name of a usage identifier ("Smart Card Logon" for 1.3.6.1.4.1.311.20.2.2).
std::string usageName(const std::string& oid);

// The chain of a certificate as the current user's and the machine's stores hold it: the
// certificate first, then each issuer found ("MY", "CA", "AddressBook", "ROOT"), up to a
// self-issued certificate, an issuer not found, or 10 links.
std::vector<std::vector<BYTE>> findChain(const BYTE* der, size_t size);

}  // namespace vantor::crypt32
