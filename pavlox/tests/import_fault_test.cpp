// The PKCS#12 import over the fault-injecting module, which keeps every attribute it is given:
// what each file gives, the exact bytes of the templates, a refused certificate that takes its
// key with it, and a closed session that never opens the file.
#include <cstring>

#include "convert/p12_import.h"
#include "fault_module.h"
#include "frame/module.h"
#include "p12_files.h"
#include "session_test_util.h"

namespace pavlox::testing {
namespace {

using vantor::faultp11::FaultModule;

constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80200002u);
constexpr HRESULT kFileInvalid = static_cast<HRESULT>(0x802003EEu);
constexpr HRESULT kSessionInvalid = static_cast<HRESULT>(0x804000B3u);
constexpr HRESULT kNotLoggedIn = static_cast<HRESULT>(0x80400101u);
constexpr HRESULT kDeviceMemory = static_cast<HRESULT>(0x80400031u);
constexpr LONG kSlot = 1;

class ImportFault : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fault_.ok()) {
            GTEST_SKIP() << "fault module not built or not loadable at " << fault_.path();
        }
        if (!files().error.empty()) {
            GTEST_SKIP() << "test files could not be made: " << files().error;
        }
    }
    void TearDown() override { EXPECT_EQ(pavlox::moduleLockCount(), 0); }

    static const P12Files& files() { return p12Files(); }
    // A logged-in session on the first slot of a freshly configured module.
    Ref<CP11Session> open(Lib& lib, const std::string& spec = "delay_us=0", bool login = true) {
        std::string why;
        EXPECT_TRUE(fault_.configure(spec, &why)) << why;
        EXPECT_EQ(lib->Load(bstr(fault_.path()).get()), S_OK);
        HRESULT hr = E_FAIL;
        auto s = openSession(lib, kSlot, &hr);
        EXPECT_EQ(hr, S_OK);
        if (s && login) {
            EXPECT_EQ(s->Login(bstr("1234").get(), VARIANT_FALSE), S_OK);
        }
        fault_.resetCounts();
        return s;
    }
    HRESULT import(CP11Session* s, const std::string& file, const std::string& id = "01AB",
                   const std::string& label = "Imported", const std::string* password = nullptr) {
        const auto it = files().path.find(file);
        const std::string path = it != files().path.end() ? it->second : file;
        return s->ImportP12File(bstr(id).get(), bstr(label).get(), bstr(path).get(),
                                bstr(password != nullptr ? *password : files().password).get());
    }
    // The objects carrying CKA_ID id, with the given attributes read (raw bytes).
    std::vector<std::vector<Read>> withId(CP11Session* s, const Bytes& id,
                                          const std::vector<CK_ATTRIBUTE_TYPE>& types) {
        auto a = attribute(CKA_ID, id);
        vantor::ole::Variant list;
        attributeList(list, {&a});
        std::vector<std::vector<Read>> out;
        for (auto& o : find(s, *list.get())) {
            vantor::ole::Variant wanted;
            typeList(wanted, types);
            HRESULT hr = E_FAIL;
            out.push_back(getAttributes(o.get(), *wanted.get(), false, &hr));
            EXPECT_EQ(hr, S_OK);
        }
        return out;
    }

    FaultModule fault_;
};

// Every file the import refuses: the result, and nothing reaches the token.
TEST_F(ImportFault, RefusedFilesCreateNothing) {
    const std::string wrong = "wrong";
    const std::string none;
    struct Case {
        const char* file;
        const std::string* password;
        HRESULT expected;
    } cases[] = {
        {"/nonexistent/dir/file.p12", nullptr, kFileNotFound},
        {"emptyfile", nullptr, kFileInvalid},
        {"text", nullptr, kFileInvalid},
        {"aes", &wrong, kFileInvalid},  // never the published "invalid password"
        {"empty", &wrong, kFileInvalid},
        {"aes", &none, kFileInvalid},
        {"certsonly", nullptr, kFileInvalid},
        {"ec", nullptr, kFileInvalid},
        {"mismatch", nullptr, kFileInvalid},
        {"unbalanced", nullptr, kFileInvalid},  // CRT fields are L/2 bytes; p does not fit
    };
    Lib lib;
    auto s = open(lib);
    ASSERT_TRUE(s);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(import(s.get(), c.file, "01AB", "Imported", c.password), c.expected);
        EXPECT_EQ(s->lastResult(), c.expected);
    }
    EXPECT_EQ(fault_.calls("C_CreateObject"), 0u);
    EXPECT_TRUE(withId(s.get(), textBytes("01AB"), {CKA_CLASS}).empty());
    // A folder is no file, although fopen opens one for reading here.
    EXPECT_EQ(import(s.get(), files().dir), kFileNotFound);
}

// The bytes the token receives: ID and label as text, serial in the certificate's order, the
// certificate's own encoding, and a 1024-bit key whose private exponent keeps its zero top byte.
TEST_F(ImportFault, TemplatesCarryTheFileExactly) {
    Lib lib;
    auto s = open(lib);
    ASSERT_TRUE(s);
    ASSERT_EQ(import(s.get(), "rsa1024", "01AB", ""), S_OK);
    EXPECT_EQ(s->lastResult(), S_OK);
    EXPECT_EQ(fault_.calls("C_CreateObject"), 2u);

    const Bytes id = {0x30, 0x31, 0x41, 0x42};
    const auto objects =
        withId(s.get(), id,
               {CKA_CLASS, CKA_LABEL, CKA_MODULUS, CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2,
                CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT, CKA_VALUE, CKA_SERIAL_NUMBER,
                CKA_PUBLIC_EXPONENT, CKA_TOKEN, CKA_PRIVATE, CKA_SENSITIVE, CKA_SIGN, CKA_DECRYPT,
                CKA_KEY_TYPE, CKA_CERTIFICATE_TYPE});
    ASSERT_EQ(objects.size(), 2u);
    int keys = 0, certs = 0;
    for (const auto& o : objects) {
        ASSERT_EQ(o.size(), 19u);
        EXPECT_TRUE(o[1].valid && o[1].raw.empty()) << "an empty label is stored empty";
        EXPECT_EQ(o[12].raw, Bytes{1}) << "token object";
        if (o[0].raw == ulongBytes(CKO_PRIVATE_KEY)) {
            ++keys;
            EXPECT_EQ(o[2].raw, files().modulus1024);
            ASSERT_EQ(files().d1024.size(), 128u);
            EXPECT_EQ(files().d1024[0], 0) << "the test key must have a short exponent";
            EXPECT_EQ(o[3].raw, files().d1024) << "d keeps its length L with a leading zero";
            for (int i = 4; i <= 8; ++i) {
                EXPECT_EQ(o[i].raw.size(), 64u) << "CRT value " << i;
            }
            EXPECT_EQ(o[11].raw, (Bytes{0x01, 0x00, 0x01}));
            for (int i : {13, 14, 15, 16}) {
                EXPECT_EQ(o[i].raw, Bytes{1}) << i;
            }
            EXPECT_EQ(o[17].raw, ulongBytes(CKK_RSA));
        } else if (o[0].raw == ulongBytes(CKO_CERTIFICATE)) {
            ++certs;
            EXPECT_EQ(o[9].raw, files().cert1024Der);
            EXPECT_EQ(o[10].raw, (Bytes{0x00, 0xA1, 0xB2}));
            EXPECT_EQ(o[13].raw, Bytes{0}) << "the certificate is public";
            EXPECT_EQ(o[18].raw, ulongBytes(CKC_X_509));
        }
    }
    EXPECT_EQ(keys, 1);
    EXPECT_EQ(certs, 1);
}

// A refused key leaves nothing; a refused certificate takes its key with it, whatever the
// removal answers; the result is the module's, folded.
TEST_F(ImportFault, RefusedObjectsLeaveTheTokenAsItWas) {
    struct Case {
        const char* spec;
        bool login;
        HRESULT expected;
        unsigned long destroys;
    } cases[] = {
        {"delay_us=0;fail=C_CreateObject:0x31@1", true, kDeviceMemory, 0},
        {"delay_us=0;fail=C_CreateObject:0x31@2", true, kDeviceMemory, 1},
        {"delay_us=0;fail=C_CreateObject:0x31@2;fail=C_DestroyObject:0x30", true, kDeviceMemory, 1},
        {"delay_us=0", false, kNotLoggedIn, 0},  // the import does not log in
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.spec);
        Lib lib;
        auto s = open(lib, c.spec, c.login);
        ASSERT_TRUE(s);
        EXPECT_EQ(import(s.get(), "aes"), c.expected);
        EXPECT_EQ(s->lastResult(), c.expected);
        EXPECT_EQ(fault_.calls("C_DestroyObject"), c.destroys);
        if (!c.login) {
            ASSERT_EQ(s->Login(bstr("1234").get(), VARIANT_FALSE), S_OK);
        }
        // A failing removal is what the rule above makes: only then may the key remain.
        const bool removalFailed = std::strstr(c.spec, "C_DestroyObject") != nullptr;
        EXPECT_EQ(withId(s.get(), textBytes("01AB"), {CKA_CLASS}).size(), removalFailed ? 1u : 0u);
    }
}

// A closed session answers before the file is touched; the result is remembered.
TEST_F(ImportFault, ClosedSessionNeverOpensTheFile) {
    Lib lib;
    auto s = open(lib);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->Close(), S_OK);
    // A missing file would give 0x80200002 if it were opened.
    EXPECT_EQ(import(s.get(), "/nonexistent/file.p12"), kSessionInvalid);
    EXPECT_EQ(s->lastResult(), kSessionInvalid);
    EXPECT_EQ(fault_.calls("C_CreateObject"), 0u);
    lib->Unload();
    EXPECT_EQ(import(s.get(), "aes"), static_cast<HRESULT>(0x80400190u));
}

// The templates in the order the token receives them, read without any module; the key's
// fields are gone from them once wiped.
TEST(P12Templates, AttributesInOrderAndKeyWiped) {
    const P12Files& f = p12Files();
    if (!f.error.empty()) {
        GTEST_SKIP() << "test files could not be made: " << f.error;
    }
    P12Import import;
    ASSERT_EQ(import.open(f.path.at("rsa1024").c_str()), S_OK);
    ASSERT_EQ(import.read(f.password.c_str()), S_OK);
    const CK_BYTE id[] = {0x30, 0x31};
    import.buildTemplates(id, {});
    struct Expected {
        CK_ATTRIBUTE_TYPE type;
        CK_ULONG size;
    };
    const Expected key[] = {{CKA_ID, 2},
                            {CKA_LABEL, 0},
                            {CKA_CLASS, sizeof(CK_ULONG)},
                            {CKA_KEY_TYPE, sizeof(CK_ULONG)},
                            {CKA_TOKEN, 1},
                            {CKA_PRIVATE, 1},
                            {CKA_SENSITIVE, 1},
                            {CKA_DECRYPT, 1},
                            {CKA_SIGN, 1},
                            {CKA_MODULUS, 128},
                            {CKA_PUBLIC_EXPONENT, 3},
                            {CKA_PRIVATE_EXPONENT, 128},
                            {CKA_PRIME_1, 64},
                            {CKA_PRIME_2, 64},
                            {CKA_EXPONENT_1, 64},
                            {CKA_EXPONENT_2, 64},
                            {CKA_COEFFICIENT, 64}};
    const Expected cert[] = {{CKA_ID, 2},
                             {CKA_LABEL, 0},
                             {CKA_CLASS, sizeof(CK_ULONG)},
                             {CKA_CERTIFICATE_TYPE, sizeof(CK_ULONG)},
                             {CKA_TOKEN, 1},
                             {CKA_PRIVATE, 1},
                             {CKA_VALUE, static_cast<CK_ULONG>(f.cert1024Der.size())},
                             {CKA_SERIAL_NUMBER, 3}};
    static_assert(std::size(key) == P12Import::kKeyAttributes);
    for (size_t i = 0; i < std::size(key); ++i) {
        EXPECT_EQ(import.keyTemplate()[i].type, key[i].type) << i;
        EXPECT_EQ(import.keyTemplate()[i].ulValueLen, key[i].size) << i;
        EXPECT_NE(import.keyTemplate()[i].pValue, nullptr) << i;
    }
    for (size_t i = 0; i < std::size(cert); ++i) {
        EXPECT_EQ(import.certTemplate()[i].type, cert[i].type) << i;
        EXPECT_EQ(import.certTemplate()[i].ulValueLen, cert[i].size) << i;
    }
    EXPECT_EQ(import.certTemplate()[8].type, static_cast<CK_ATTRIBUTE_TYPE>(CKA_ISSUER));
    EXPECT_EQ(import.certTemplate()[9].type, static_cast<CK_ATTRIBUTE_TYPE>(CKA_SUBJECT));
    // Subject and issuer of a self-signed certificate are the same DER Name.
    ASSERT_EQ(import.certTemplate()[8].ulValueLen, import.certTemplate()[9].ulValueLen);
    EXPECT_EQ(std::memcmp(import.certTemplate()[8].pValue, import.certTemplate()[9].pValue,
                          import.certTemplate()[8].ulValueLen),
              0);
    EXPECT_EQ(*static_cast<const CK_ULONG*>(import.keyTemplate()[2].pValue), CKO_PRIVATE_KEY);
    EXPECT_EQ(*static_cast<const CK_BBOOL*>(import.certTemplate()[5].pValue), CK_FALSE);

    import.wipeKey();
    for (size_t i = 9; i < std::size(key); ++i) {
        EXPECT_EQ(import.keyTemplate()[i].ulValueLen, 0u) << "key field " << i << " kept";
    }
    EXPECT_EQ(import.certTemplate()[6].ulValueLen, f.cert1024Der.size()) << "certificate kept";
}

}  // namespace
}  // namespace pavlox::testing
