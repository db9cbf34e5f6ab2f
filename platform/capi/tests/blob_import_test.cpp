// Blob import refuses truncated and inconsistent blobs with NTE_BAD_DATA and reads nothing
// beyond the length it is given (each copy sits in a buffer of exactly that length, so the
// sanitizer build catches an over-read).
#include <memory>

#include "capi_test_support.h"

using namespace capitest;

namespace {

class BlobImport : public PrivateStore {
  protected:
    void SetUp() override {
        PrivateStore::SetUp();
        ASSERT_TRUE(CryptAcquireContextA(&prov_, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                         CRYPT_VERIFYCONTEXT));
        key_ = opensslKey(1024);
    }
    void TearDown() override {
        EVP_PKEY_free(key_);
        CryptReleaseContext(prov_, 0);
        PrivateStore::TearDown();
    }
    // Imports an exact-size heap copy; returns 0 on success, else the last error.
    DWORD import(const Bytes& blob, HCRYPTKEY pub = 0) {
        std::unique_ptr<BYTE[]> copy(new BYTE[blob.size()]);
        std::copy(blob.begin(), blob.end(), copy.get());
        HCRYPTKEY k = 0;
        if (CryptImportKey(prov_, copy.get(), static_cast<DWORD>(blob.size()), pub, 0, &k)) {
            CryptDestroyKey(k);
            return 0;
        }
        return GetLastError();
    }
    HCRYPTPROV prov_ = 0;
    EVP_PKEY* key_ = nullptr;
};

}  // namespace

TEST_F(BlobImport, EveryTruncationIsRefused) {
    for (bool priv : {false, true}) {
        const Bytes full = blobOf(key_, priv);
        ASSERT_EQ(import(full), 0u);
        for (std::size_t len = 0; len < full.size(); ++len) {
            const DWORD e = import(Bytes(full.begin(), full.begin() + static_cast<long>(len)));
            ASSERT_EQ(e, static_cast<DWORD>(NTE_BAD_DATA))
                << "private " << priv << " length " << len;
        }
    }
}

TEST_F(BlobImport, InconsistentBlobsAreRefused) {
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint8_t value;
        DWORD expected;
    };
    const Case cases[] = {
        {"public magic", 8, 'X', static_cast<DWORD>(NTE_BAD_DATA)},
        {"bit length not a multiple of 16", 12, 0x08, static_cast<DWORD>(NTE_BAD_DATA)},
        {"bit length larger than the blob", 13, 0x08, static_cast<DWORD>(NTE_BAD_DATA)},
        {"zero public exponent", 16, 0, static_cast<DWORD>(NTE_BAD_DATA)},
        {"modulus even", 20, 0x10, static_cast<DWORD>(NTE_BAD_DATA)},
        {"modulus shorter than declared", 20 + 127, 0, static_cast<DWORD>(NTE_BAD_DATA)},
        {"prime not a factor", 20 + 128 + 3, 0x55, static_cast<DWORD>(NTE_BAD_DATA)},
        {"blob version", 1, 3, static_cast<DWORD>(NTE_BAD_VER)},
        {"algorithm", 5, 0x66, static_cast<DWORD>(NTE_BAD_ALGID)},
    };
    const Bytes full = blobOf(key_, true);
    for (const Case& c : cases) {
        Bytes bad = full;
        if (std::string(c.what) == "zero public exponent") {
            bad[16] = bad[17] = bad[18] = bad[19] = 0;
        } else if (std::string(c.what) == "modulus even") {
            bad[20] &= 0xFE;
        } else {
            bad[c.offset] = c.value;
        }
        EXPECT_EQ(import(bad), c.expected) << c.what;
    }
}

TEST_F(BlobImport, SimpleBlobShorterThanTheKeyIsRefused) {
    const Bytes priv = blobOf(key_, true);
    HCRYPTKEY exchange = 0;
    ASSERT_TRUE(
        CryptImportKey(prov_, priv.data(), static_cast<DWORD>(priv.size()), 0, 0, &exchange));
    HCRYPTKEY session = 0;
    ASSERT_TRUE(CryptGenKey(prov_, CALG_RC4, CRYPT_EXPORTABLE, &session));
    DWORD size = 0;
    ASSERT_TRUE(CryptExportKey(session, exchange, SIMPLEBLOB, 0, nullptr, &size));
    Bytes simple(size);
    ASSERT_TRUE(CryptExportKey(session, exchange, SIMPLEBLOB, 0, simple.data(), &size));
    ASSERT_EQ(size, 12u + 128);
    ASSERT_EQ(import(simple, exchange), 0u);
    for (std::size_t len = 0; len < simple.size(); ++len) {
        ASSERT_EQ(import(Bytes(simple.begin(), simple.begin() + static_cast<long>(len)), exchange),
                  static_cast<DWORD>(NTE_BAD_DATA))
            << len;
    }
    // A damaged wrapped block fails its padding check.
    simple[12 + 60] ^= 0xFF;
    EXPECT_EQ(import(simple, exchange), static_cast<DWORD>(NTE_BAD_DATA));
    // A PLAINTEXTKEYBLOB whose size field runs past the end is refused.
    Bytes plain = {PLAINTEXTKEYBLOB, 2, 0, 0};
    putDword(plain, CALG_RC4);
    putDword(plain, 17);
    plain.insert(plain.end(), 16, 0xAA);
    EXPECT_EQ(import(plain), static_cast<DWORD>(NTE_BAD_DATA));
    plain[8] = 16;
    EXPECT_EQ(import(plain), 0u);
    CryptDestroyKey(session);
    CryptDestroyKey(exchange);
}
