// The token key's public values over the fault module: when the private key refuses them, the
// public key object with the same ID supplies them.
#include "fault_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tvxtest {
namespace {

using Bytes = std::vector<BYTE>;

struct ExportRun {
    DWORD error = 0;
    Bytes blob;
    unsigned long readsBefore = 0;  // C_GetAttributeValue calls before the export
    unsigned long readsAfter = 0;
    unsigned long searches = 0;  // C_FindObjectsInit calls during the export
};

// Logs in to the fault token's key and exports its PUBLICKEYBLOB, counting the module's calls.
ExportRun exportPublicKey(FaultModule& fault) {
    ExportRun run;
    Context ctx(kKeyContainer, 0);
    EXPECT_TRUE(ctx.ok());
    EXPECT_EQ(ctx.setSlotIndex(0), 0u);
    EXPECT_EQ(ctx.setPin("1234"), 0u);
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGetUserKey(ctx.get(), AT_KEYEXCHANGE, &key));
    run.readsBefore = fault.calls("C_GetAttributeValue");
    const unsigned long searches = fault.calls("C_FindObjectsInit");
    run.blob.resize(1044);
    DWORD length = static_cast<DWORD>(run.blob.size());
    run.error =
        CryptExportKey(key, 0, PUBLICKEYBLOB, 0, run.blob.data(), &length) ? 0 : GetLastError();
    run.blob.resize(run.error == 0 ? length : 0);
    run.readsAfter = fault.calls("C_GetAttributeValue");
    run.searches = fault.calls("C_FindObjectsInit") - searches;
    CryptDestroyKey(key);
    return run;
}

TEST_F(ProviderFaultTest, PublicKeyFallsBackToThePublicKeyObject) {
    configure("");
    const ExportRun plain = exportPublicKey(*fault_);
    ASSERT_EQ(plain.error, 0u);
    ASSERT_GT(plain.blob.size(), 20u);
    EXPECT_EQ(plain.searches, 0u) << "the private key gives its public values itself";
    // The export's last two reads are the private key's lengths and values; refusing the first
    // of them sends the provider to the public key object, which has the same values.
    const unsigned long lengthsRead = plain.readsAfter - 1;
    configure("fail=C_GetAttributeValue:0x11@" + std::to_string(lengthsRead));
    const ExportRun fallback = exportPublicKey(*fault_);
    EXPECT_EQ(fallback.error, 0u) << std::hex << fallback.error;
    EXPECT_EQ(fallback.blob, plain.blob);
    EXPECT_EQ(fallback.searches, 1u);
    // Every read refused from there on: no public values at all.
    configure("fail=C_GetAttributeValue:0x11@" + std::to_string(lengthsRead) + "+");
    const ExportRun none = exportPublicKey(*fault_);
    EXPECT_EQ(none.error, static_cast<DWORD>(NTE_BAD_KEY_STATE));
}

// A hash keyed with the token key is refused, and no handle is handed out.
TEST_F(ProviderFaultTest, HashKeyedWithTheTokenKeyIsRefused) {
    configure("");
    Context ctx(kKeyContainer, 0);
    ASSERT_TRUE(ctx.ok());
    ASSERT_EQ(ctx.setSlotIndex(0), 0u);
    ASSERT_EQ(ctx.setPin("1234"), 0u);
    HCRYPTKEY card = 0;
    ASSERT_TRUE(CryptGetUserKey(ctx.get(), AT_KEYEXCHANGE, &card));
    HCRYPTHASH hash = 0x1234;
    EXPECT_FALSE(CryptCreateHash(ctx.get(), CALG_SHA1, card, 0, &hash));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    EXPECT_TRUE(CryptCreateHash(ctx.get(), CALG_SHA1, 0, 0, &hash));
    CryptDestroyHash(hash);
    CryptDestroyKey(card);
}

}  // namespace
}  // namespace tvxtest
