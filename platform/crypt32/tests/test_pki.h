// Test certificates made with OpenSSL: a CA, an intermediate and leaves with chosen serials,
// names, validity and usages; and a private certificate-store directory per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "win/wincrypt_certs.h"

namespace testpki {

using Bytes = std::vector<BYTE>;

struct Spec {
    Spec(std::string subjectText, Bytes serialValue = {0x01})
        : subject(std::move(subjectText)), serial(std::move(serialValue)) {}
    std::string subject;           // "/C=IT/O=Vantor Test/CN=Leaf" (encoding order)
    Bytes serial;                  // big-endian value
    long notBeforeOffset = -3600;  // seconds from now
    long lifetime = 365L * 24 * 3600;
    bool ca = false;
    std::vector<std::string> eku;     // usage OIDs; empty: no EKU extension
    std::vector<std::string> emails;  // subjectAltName rfc822 names
};

// A certificate with its key, able to issue others.
struct Issued {
    Bytes der;
    std::shared_ptr<void> key;  // EVP_PKEY
    std::string subject;
};

// Self-signed when issuer is null.
Issued make(const Spec& spec, const Issued* issuer = nullptr);

// The usual three: root CA, intermediate CA below it, and the text form of their subjects.
struct Hierarchy {
    Issued root;
    Issued intermediate;
};
const Hierarchy& hierarchy();

// Certificates and properties of each test go into a fresh directory (VANTOR_REGISTRY_DIR).
class PrivateStores : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string dir_;
};

// Owned context and store handles for tests.
struct ContextPtr {
    PCCERT_CONTEXT p = nullptr;
    ContextPtr() = default;
    explicit ContextPtr(PCCERT_CONTEXT c) : p(c) {}
    ~ContextPtr() { CertFreeCertificateContext(p); }
    ContextPtr(const ContextPtr&) = delete;
    ContextPtr& operator=(const ContextPtr&) = delete;
    PCCERT_CONTEXT get() const { return p; }
    PCCERT_CONTEXT operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};
struct StorePtr {
    HCERTSTORE h = nullptr;
    explicit StorePtr(HCERTSTORE s) : h(s) {}
    ~StorePtr() { CertCloseStore(h, 0); }
    StorePtr(const StorePtr&) = delete;
    StorePtr& operator=(const StorePtr&) = delete;
    HCERTSTORE get() const { return h; }
    explicit operator bool() const { return h != nullptr; }
};

ContextPtr decode(const Bytes& der);
// Number of certificates in a store.
int count(HCERTSTORE store);
// The friendly name property as UTF-8, or "<none>".
std::string friendlyName(PCCERT_CONTEXT ctx);
void setFriendlyName(PCCERT_CONTEXT ctx, const std::u16string& name);

}  // namespace testpki
