// Test-side client of cardtoken.so: loads it through the suite's module loader, makes the bench
// configuration, and wraps the calls the tests repeat.
#pragma once

#include "pkcs11/module.h"

#include <string>
#include <vector>

namespace cardtoken::test {

using Bytes = std::vector<CK_BYTE>;

// Paths compiled in by CMake.
std::string modulePath();
std::string benchScript();
std::string workDir();  // a folder of this test program in the build tree

// Runs `cardtoken-bench.sh make-conf DIR`; the configuration path, or "" with the output.
std::string makeBenchConf(const std::string& dir, std::string* output);

// The environment a child process needs to load this build's module (the sanitizer runtime
// in a sanitizer build), as NAME=VALUE entries.
std::vector<std::pair<std::string, std::string>> childEnvironment();

// A loaded cardtoken.so with helpers; the module is finalized and unloaded by the destructor.
class Client {
  public:
    Client();
    bool loaded() const { return module_.loaded(); }
    CK_FUNCTION_LIST_PTR operator->() const { return module_.functions(); }
    CK_FUNCTION_LIST_PTR functions() const { return module_.functions(); }
    CK_RV initialize() { return module_.initialize(); }
    CK_RV finalize() { return module_.finalize(); }
    void unload() { module_.unload(); }
    std::string lastError() const;

    std::vector<CK_SLOT_ID> slots(bool present, CK_RV* rv = nullptr);
    CK_RV tokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info);
    bool tokenPresent(CK_SLOT_ID slot);
    CK_RV open(CK_SLOT_ID slot, CK_SESSION_HANDLE* session);
    CK_RV login(CK_SESSION_HANDLE session, const std::string& pin, CK_USER_TYPE user = CKU_USER);
    std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> tmpl);
    Bytes attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);

  private:
    vantor::pkcs11::Module module_;
};

std::string field(const CK_UTF8CHAR* p, std::size_t n);  // trailing blanks dropped

// Verifies an RSA PKCS#1 v1.5 SHA-256 signature with OpenSSL against a public key given by
// modulus and exponent, or against a DER certificate.
bool verifyWithKey(const Bytes& modulus, const Bytes& exponent, const Bytes& data,
                   const Bytes& signature);
bool verifyWithCertificate(const Bytes& der, const Bytes& data, const Bytes& signature);

}  // namespace cardtoken::test
