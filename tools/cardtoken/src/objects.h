// Objects loaded onto a new token: key pairs and certificates read with OpenSSL from PKCS#12 or
// PEM files, turned into PKCS#11 templates.
#pragma once

#include "config.h"

#include <p11-kit/pkcs11.h>

#include <vector>

namespace cardtoken {

// One object as PKCS#11 attributes; values live in wiping storage (private key parts).
struct ObjectTemplate {
    std::vector<std::pair<CK_ATTRIBUTE_TYPE, Secret>> values;

    void add(CK_ATTRIBUTE_TYPE type, const void* data, std::size_t size);
    void addBool(CK_ATTRIBUTE_TYPE type, bool v);
    void addUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG v);
    std::vector<CK_ATTRIBUTE> attributes();  // points into this object
};

// Reads the files of one object line: a private key, its public key and certificate (pkcs12,
// pem), or certificates alone (cert; also the extra certificates of a PKCS#12 file). Throws
// ConfigError naming the file when it is missing, not of the stated kind, or not RSA.
std::vector<ObjectTemplate> readObjects(const ObjectSpec& spec);

}  // namespace cardtoken
