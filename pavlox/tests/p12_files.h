// Test PKCS#12 files, made once per test program with the openssl command and, for what the
// command refuses to make (a key with another key's certificate, a 1024-bit key whose private
// exponent has a zero top byte), with OpenSSL's library.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <openssl/types.h>

namespace pavlox::testing {

struct P12Files {
    std::string dir;    // a private folder, removed at exit
    std::string error;  // why the files could not be made; "" when they were
    // Files by name: "aes" (2048-bit, AES-256 default), "legacy" (RC2/3DES with SHA-1),
    // "pbe3des", "pbeaes128", "nocertenc" (-certpbe NONE), "chain" (with a CA certificate),
    // "empty" (empty password), "rsa1024" (d with a zero top byte), "certsonly", "ec",
    // "mismatch" (a key with another key's certificate), "unbalanced" (a 1024-bit key whose
    // first prime needs more than 64 bytes), "text", "emptyfile".
    std::map<std::string, std::string> path;
    std::string password = "s3cret";
    // DER of the certificate of "aes" and of "rsa1024", whose serial is 0xA1B2.
    std::vector<unsigned char> certDer, cert1024Der;
    std::string certPem;  // PEM of the certificate of "aes" (for signature checks)
    std::vector<unsigned char> modulus1024, d1024;
};

// The files, made on first use; check error before using them.
const P12Files& p12Files();

}  // namespace pavlox::testing
