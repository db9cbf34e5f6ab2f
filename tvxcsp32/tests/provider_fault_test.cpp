// The provider through the CryptoAPI front end, as an application calls it, over the fault
// module (tokens, PINs, slot counts and refusals on demand): the context frame and parameters,
// slot selection, the module list, "Slot nr", and the PIN dialog driven through its widgets.
#include "fault_fixture.h"

#include <env_guard.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace tvxtest {

std::string* ProviderFaultTest::dir_ = nullptr;
FaultModule* ProviderFaultTest::fault_ = nullptr;

namespace {

TEST_F(ProviderFaultTest, VerifyContextAnswersWithoutACardSession) {
    Context ctx(nullptr, CRYPT_VERIFYCONTEXT);
    ASSERT_TRUE(ctx.ok()) << std::hex << ctx.acquireError();
    EXPECT_EQ(ctx.text(PP_NAME), std::string(kProvider));
    EXPECT_EQ(ctx.text(PP_CONTAINER), std::string());
    struct Case {
        DWORD param;
        DWORD value;
    };
    for (const Case& c :
         {Case{PP_IMPTYPE, 11}, Case{PP_PROVTYPE, 1}, Case{PP_SIG_KEYSIZE_INC, 1024},
          Case{PP_KEYX_KEYSIZE_INC, 1024}, Case{PP_LAST_CARD_ERROR, 0}}) {
        EXPECT_EQ(ctx.dword(c.param), c.value) << "parameter " << c.param;
    }
    // Hashing is the software provider's.
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(ctx.get(), CALG_SHA1, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("abc"), 3, 0));
    BYTE digest[20];
    DWORD size = sizeof digest;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0));
    EXPECT_EQ(digest[0], 0xA9);
    EXPECT_EQ(digest[19], 0x9D);
    CryptDestroyHash(hash);
    // A card operation never reaches the token.
    fault_->resetCounts();
    EXPECT_NE(ctx.readCertificate(), 0u);
    EXPECT_EQ(fault_->calls("C_OpenSession"), 0u);
    EXPECT_EQ(fault_->calls("C_Initialize"), 0u);
}

TEST_F(ProviderFaultTest, ContainerNamesReadBack) {
    struct Case {
        const char* given;
        const char* container;
    };
    for (const Case& c :
         {Case{"abc%01@1234", "abc%01@1234"}, Case{"\\\\.\\Reader 1\\abc%01@1234", "abc%01@1234"},
          Case{"a@b@1234", "a@b@1234"}}) {
        Context ctx(c.given, 0);
        ASSERT_TRUE(ctx.ok()) << c.given;
        EXPECT_EQ(ctx.text(PP_CONTAINER), std::string(c.container)) << c.given;
        EXPECT_EQ(ctx.text(PP_UNIQUE_CONTAINER), std::string(c.container)) << c.given;
        // The size protocol: a short buffer gets the size and ERROR_MORE_DATA.
        char shortBuffer[4];
        DWORD size = sizeof shortBuffer;
        EXPECT_FALSE(CryptGetProvParam(ctx.get(), PP_CONTAINER,
                                       reinterpret_cast<BYTE*>(shortBuffer), &size, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(size, std::strlen(c.container) + 1);
    }
}

TEST_F(ProviderFaultTest, KeySizesAreMultiplesOf1024UpTo2048) {
    Context ctx("abc", 0);
    ASSERT_TRUE(ctx.ok());
    struct Case {
        DWORD bits;
        DWORD result;
    };
    for (DWORD param : {PP_KEYEXCHANGE_KEYSIZE, PP_SIGNATURE_KEYSIZE}) {
        for (const Case& c :
             {Case{1024, 0}, Case{2048, 0}, Case{1536, ERROR_INVALID_PARAMETER},
              Case{4096, ERROR_INVALID_PARAMETER}, Case{3072, ERROR_INVALID_PARAMETER},
              Case{512, ERROR_INVALID_PARAMETER}, Case{0, ERROR_INVALID_PARAMETER}}) {
            EXPECT_EQ(ctx.setDword(param, c.bits), c.result)
                << c.bits << " bits, parameter " << param;
        }
    }
}

TEST_F(ProviderFaultTest, AlgorithmListShowsTheTokenKeySizes) {
    Context ctx(nullptr, CRYPT_VERIFYCONTEXT);
    ASSERT_TRUE(ctx.ok());
    int rsa = 0;
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
        PROV_ENUMALGS entry{};
        DWORD size = sizeof entry;
        if (!CryptGetProvParam(ctx.get(), PP_ENUMALGS, reinterpret_cast<BYTE*>(&entry), &size,
                               flags)) {
            break;
        }
        if (entry.aiAlgid == CALG_RSA_SIGN || entry.aiAlgid == CALG_RSA_KEYX) {
            EXPECT_EQ(entry.dwBitLen, 2048u);
            ++rsa;
        }
    }
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
        PROV_ENUMALGS_EX entry{};
        DWORD size = sizeof entry;
        if (!CryptGetProvParam(ctx.get(), PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&entry), &size,
                               flags)) {
            break;
        }
        if (entry.aiAlgid == CALG_RSA_SIGN || entry.aiAlgid == CALG_RSA_KEYX) {
            EXPECT_EQ(entry.dwDefaultLen, 1024u);
            EXPECT_EQ(entry.dwMinLen, 1024u);
            EXPECT_EQ(entry.dwMaxLen, 2048u);
            ++rsa;
        }
    }
    EXPECT_GE(rsa, 2) << "no RSA entry listed";
}

TEST_F(ProviderFaultTest, DeleteKeySetSucceedsWithoutHandleOrTokenCall) {
    fault_->resetCounts();
    HCRYPTPROV handle = 0x1234;
    ASSERT_TRUE(
        CryptAcquireContextA(&handle, kKeyContainer, kProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(fault_->calls("C_Initialize") + fault_->calls("C_OpenSession") +
                  fault_->calls("C_FindObjectsInit"),
              0u);
    // The key is still there for the next context.
    Context ctx(kKeyContainer, 0);
    ASSERT_TRUE(ctx.ok());
    ASSERT_EQ(ctx.setSlotIndex(0), 0u);
    EXPECT_EQ(ctx.setPin("1234"), 0u);
    EXPECT_EQ(ctx.lastCardError(), 0u);
}

TEST_F(ProviderFaultTest, SilentWithoutSlotFailsWithoutWindow) {
    Context ctx(kKeyContainer, CRYPT_SILENT);
    ASSERT_TRUE(ctx.ok());
    DialogDriver driver;
    EXPECT_EQ(driver.run([&] { return ctx.readCertificate(); }),
              static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL));
    EXPECT_EQ(ctx.lastCardError(), kWrongChv);
    EXPECT_EQ(driver.run([&] { return ctx.setPin("1234"); }), kWrongChv);
    EXPECT_EQ(ctx.lastCardError(), kWrongChv);
    EXPECT_EQ(driver.dialogsSeen(), 0);
}

TEST_F(ProviderFaultTest, SlotSelectionAndLoginWithAGivenPin) {
    struct Case {
        std::optional<std::string> name;
        std::optional<DWORD> index;
        const char* pin;
        DWORD lastCardError;
    };
    const Case cases[] = {
        {"Fault slot 2", {}, "1234", 0},
        {"FAULT SLOT 2   ", {}, "1234", 0},  // case and trailing blanks do not matter
        {"Fault slot 2 x", {}, "1234", kSlotNotFound},
        {"Fault slot", {}, "1234", kSlotNotFound},
        {{}, 1, "1234", 0},
        {{}, 2, "1234", kSlotNotFound},  // index equal to the slot count
        {"Fault slot 1", {}, "9999", kPinIncorrect},
    };
    for (const Case& c : cases) {
        configure("");
        Context ctx(kKeyContainer, 0);
        ASSERT_TRUE(ctx.ok());
        if (c.name) {
            ASSERT_EQ(ctx.setSlotName(*c.name), 0u);
        } else {
            ASSERT_EQ(ctx.setSlotIndex(*c.index), 0u);
        }
        EXPECT_EQ(ctx.setPin(c.pin), c.lastCardError == 0 ? 0u : kWrongChv)
            << c.name.value_or("index " + std::to_string(c.index.value_or(0)));
        EXPECT_EQ(ctx.lastCardError(), c.lastCardError)
            << c.name.value_or("index " + std::to_string(c.index.value_or(0)));
    }
}

TEST_F(ProviderFaultTest, ModuleListIsTriedInOrder) {
    struct Case {
        std::string list;
        bool loads;
    };
    const std::string fault = fault_->path();
    for (const Case& c : {Case{"missing-a.so;" + fault, true}, Case{";" + fault, true},
                          Case{fault + ";missing-a.so", true}, Case{"missing-a.so;;", false},
                          Case{"missing-a.so", false}}) {
        registerProvider(c.list);
        configure("");  // the provider finds the module uninitialised and loads again
        Context ctx(kKeyContainer, 0);
        ASSERT_TRUE(ctx.ok());
        ASSERT_EQ(ctx.setSlotIndex(0), 0u);
        ctx.setPin("1234");
        const DWORD error = ctx.lastCardError();
        if (c.loads) {
            EXPECT_EQ(error, 0u) << c.list;
        } else {
            // The loader's error, not a card-step code.
            EXPECT_NE(error, 0u) << c.list;
            EXPECT_TRUE(error < 22000 || error > 23000) << c.list << ": " << error;
        }
    }
}

// The slot the dialog selects first is the current slot as "Slot nr" gave it at the load.
TEST_F(ProviderFaultTest, SlotSettingOfTheWrongTypeIsIgnored) {
    struct Case {
        std::optional<DWORD> type;  // none: the settings key is missing
        std::string bytes;
        const char* selected;
    };
    const DWORD one = 1;
    const std::string dwordOne(reinterpret_cast<const char*>(&one), sizeof one);
    for (const Case& c : {Case{REG_DWORD, dwordOne, "Fault slot 2"},
                          Case{REG_SZ, std::string("1\0", 2), "Fault slot 1"},
                          Case{std::nullopt, "", "Fault slot 1"}}) {
        RegDeleteTreeA(HKEY_CURRENT_USER, "SOFTWARE\\TVX-NET\\Vantor\\VantorSetup\\Settings");
        if (c.type) {
            setSlotSetting(*c.type, c.bytes);
        }
        configure("");
        Context ctx(kKeyContainer, 0);
        ASSERT_TRUE(ctx.ok());
        QString selected;
        DialogDriver driver;
        driver
            .then(inspect([&](QWidget* d) {
                selected = comboText(d);
                return comboCount(d) == 2;
            }))
            .then(cancel());
        EXPECT_EQ(driver.run([&] { return ctx.readCertificate(); }),
                  static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL));
        EXPECT_EQ(selected.trimmed().toStdString(), c.selected);
        EXPECT_EQ(ctx.lastCardError(), kPinCancelled);
        HKEY key = nullptr;
        EXPECT_EQ(
            RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\TVX-NET\\Vantor\\VantorSetup\\Settings", 0,
                          KEY_READ, &key),
            ERROR_SUCCESS)
            << "the settings key is created when missing";
        RegCloseKey(key);
    }
}

}  // namespace
}  // namespace tvxtest
