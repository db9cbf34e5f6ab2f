// The fault module through raw PKCS#11 calls: its control, counting, injected failures, token
// model and overlap detection.
#include "fault_module.h"

#include <gtest/gtest.h>

#include <barrier>
#include <mutex>
#include <thread>
#include <vector>

namespace vantor::faultp11 {
namespace {

using pkcs11::LoadStatus;
using pkcs11::Session;

class FaultP11Test : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fault_.ok()) {
            GTEST_SKIP() << "fault module not built or not loadable at " << fault_.path();
        }
    }
    void TearDown() override { fault_.module().finalize(); }

    // Configures and initializes the module; the test fails when either is refused.
    void start(const std::string& spec) {
        std::string why;
        ASSERT_TRUE(fault_.configure(spec, &why)) << why;
        ASSERT_EQ(fault_.module().initialize(), CKR_OK);
    }
    CK_FUNCTION_LIST_PTR p11() { return fault_.functions(); }

    std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE s, std::vector<CK_ATTRIBUTE> tmpl = {}) {
        std::vector<CK_OBJECT_HANDLE> all;
        EXPECT_EQ(p11()->C_FindObjectsInit(s, tmpl.data(), tmpl.size()), CKR_OK);
        CK_OBJECT_HANDLE chunk[64];
        CK_ULONG n = 0;
        do {
            EXPECT_EQ(p11()->C_FindObjects(s, chunk, 64, &n), CKR_OK);
            all.insert(all.end(), chunk, chunk + n);
        } while (n == 64);
        EXPECT_EQ(p11()->C_FindObjectsFinal(s), CKR_OK);
        return all;
    }

    FaultModule fault_;
};

TEST_F(FaultP11Test, InitializationAnswersAsTheStandardSaysAndIsCounted) {
    std::string why;
    ASSERT_TRUE(fault_.configure("", &why)) << why;
    CK_INFO info{};
    EXPECT_EQ(p11()->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11()->C_Initialize(nullptr), CKR_OK);
    EXPECT_TRUE(fault_.lastInitializeArgsNull());
    EXPECT_EQ(p11()->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    EXPECT_EQ(p11()->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(pkcs11::TrimField(info.manufacturerID), "Vantor Fault Module");
    EXPECT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(p11()->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_FALSE(fault_.initialized());

    EXPECT_EQ(fault_.calls("C_Initialize"), 2u);
    EXPECT_EQ(fault_.calls("C_GetInfo"), 2u);
    EXPECT_EQ(fault_.calls("C_Finalize"), 2u);
    EXPECT_EQ(fault_.calls("C_Login"), 0u);
    EXPECT_EQ(fault_.calls("no such thing"), kFaultP11NoSuchKey);
    const std::string stats = fault_.stats();
    EXPECT_NE(stats.find("C_Initialize=2"), std::string::npos) << stats;

    // With locking arguments the module still initializes, and says so.
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    EXPECT_EQ(p11()->C_Initialize(&args), CKR_OK);
    EXPECT_FALSE(fault_.lastInitializeArgsNull());
    EXPECT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
}

TEST_F(FaultP11Test, PreinitializedModuleLooksInitializedByAnotherComponent) {
    std::string why;
    ASSERT_TRUE(fault_.configure("preinitialized", &why)) << why;
    CK_INFO info{};
    EXPECT_EQ(p11()->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(p11()->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    CK_ULONG count = 0;
    EXPECT_EQ(p11()->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    // Whoever finalizes ends the foreign initialization too.
    EXPECT_EQ(p11()->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(p11()->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
}

TEST_F(FaultP11Test, ChosenCallsFailWithChosenResults) {
    start("fail=C_GetSlotInfo:0x30@2; fail=C_GetTokenInfo:0x32@2+; fail=C_OpenSession:0x5");
    CK_SLOT_INFO slot{};
    EXPECT_EQ(p11()->C_GetSlotInfo(1, &slot), CKR_OK);
    EXPECT_EQ(p11()->C_GetSlotInfo(1, &slot), CKR_DEVICE_ERROR);
    EXPECT_EQ(p11()->C_GetSlotInfo(1, &slot), CKR_OK);
    CK_TOKEN_INFO token{};
    EXPECT_EQ(p11()->C_GetTokenInfo(1, &token), CKR_OK);
    EXPECT_EQ(p11()->C_GetTokenInfo(1, &token), CKR_DEVICE_REMOVED);
    EXPECT_EQ(p11()->C_GetTokenInfo(1, &token), CKR_DEVICE_REMOVED);
    Session s;
    EXPECT_EQ(s.open(p11(), 1), CKR_GENERAL_ERROR);
    EXPECT_EQ(fault_.calls("C_OpenSession"), 1u);
    EXPECT_EQ(fault_.openSessions(), 0u);
}

TEST_F(FaultP11Test, FailingFunctionListOrInitializeReachesTheLoader) {
    std::string why;
    ASSERT_TRUE(fault_.configure("fail=C_GetFunctionList:0x6", &why)) << why;
    pkcs11::Module second(fault_.path().c_str());
    EXPECT_EQ(second.status(), LoadStatus::FunctionListFailed);
    EXPECT_EQ(second.rv(), CKR_FUNCTION_FAILED);
    EXPECT_FALSE(second.loaded());

    ASSERT_TRUE(fault_.configure("fail=C_Initialize:0x2", &why)) << why;
    EXPECT_EQ(fault_.module().initialize(), CKR_HOST_MEMORY);
    EXPECT_FALSE(fault_.module().initializedByUs());
    EXPECT_FALSE(fault_.initialized());
}

TEST_F(FaultP11Test, LoaderRefusesMissingFilesAndLibrariesWithoutFunctionList) {
    pkcs11::Module none(NoFunctionListPath().c_str());
    EXPECT_EQ(none.status(), LoadStatus::NoFunctionList);
    EXPECT_EQ(none.handle(), nullptr);
    pkcs11::Module missing("/nonexistent/module.so");
    EXPECT_EQ(missing.status(), LoadStatus::LoadFailed);
    pkcs11::Module empty("");
    EXPECT_EQ(empty.status(), LoadStatus::LoadFailed);
}

TEST_F(FaultP11Test, ModuleOwnerFinalizesOnlyWhatItInitialized) {
    std::string why;
    ASSERT_TRUE(fault_.configure("preinitialized", &why)) << why;
    {
        pkcs11::Module other(fault_.path().c_str());
        ASSERT_TRUE(other.loaded());
        EXPECT_EQ(other.initialize(), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    }
    EXPECT_EQ(fault_.calls("C_Finalize"), 0u);
    EXPECT_TRUE(fault_.initialized());

    ASSERT_TRUE(fault_.configure("", &why)) << why;
    {
        pkcs11::Module own(fault_.path().c_str());
        ASSERT_EQ(own.initialize(), CKR_OK);
        pkcs11::Module moved(std::move(own));
        EXPECT_FALSE(own.loaded());
        EXPECT_TRUE(moved.initializedByUs());
    }
    EXPECT_EQ(fault_.calls("C_Finalize"), 1u);
    EXPECT_FALSE(fault_.initialized());
}

TEST_F(FaultP11Test, SlotListFollowsTheBufferProtocolBeyond256Slots) {
    start("slots=300; empty=2,299; foreign=3");
    CK_ULONG count = 0;
    ASSERT_EQ(p11()->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 300u);
    std::vector<CK_SLOT_ID> ids(256);
    count = ids.size();
    EXPECT_EQ(p11()->C_GetSlotList(CK_FALSE, ids.data(), &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 300u);
    ids.resize(300);
    EXPECT_EQ(p11()->C_GetSlotList(CK_TRUE, ids.data(), &count), CKR_OK);
    EXPECT_EQ(count, 298u);
    EXPECT_EQ(ids[0], 1u);
    EXPECT_EQ(ids[1], 3u);

    CK_SLOT_INFO slot{};
    ASSERT_EQ(p11()->C_GetSlotInfo(2, &slot), CKR_OK);
    EXPECT_EQ(slot.flags & CKF_TOKEN_PRESENT, 0u);
    ASSERT_EQ(p11()->C_GetSlotInfo(3, &slot), CKR_OK);
    EXPECT_NE(slot.flags & CKF_TOKEN_PRESENT, 0u);
    EXPECT_EQ(p11()->C_GetSlotInfo(301, &slot), CKR_SLOT_ID_INVALID);
    CK_TOKEN_INFO token{};
    EXPECT_EQ(p11()->C_GetTokenInfo(2, &token), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(p11()->C_GetTokenInfo(3, &token), CKR_TOKEN_NOT_RECOGNIZED);
    EXPECT_EQ(p11()->C_GetTokenInfo(300, &token), CKR_OK);
}

TEST_F(FaultP11Test, TokenFieldsAreBlankPaddedAndCut) {
    const std::string forty(40, 'L');
    start("slots=3; label=1:ABC; label=2:" + forty +
          "; label=3:A\\x00B ; serial=1:0123456789ABCDEFXYZ");
    CK_TOKEN_INFO t{};
    ASSERT_EQ(p11()->C_GetTokenInfo(1, &t), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(t.label), 32), "ABC" + std::string(29, ' '));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(t.serialNumber), 16), "0123456789ABCDEF");
    EXPECT_NE(t.flags & CKF_TOKEN_INITIALIZED, 0u);
    EXPECT_NE(t.flags & CKF_USER_PIN_INITIALIZED, 0u);
    ASSERT_EQ(p11()->C_GetTokenInfo(2, &t), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(t.label), 32), std::string(32, 'L'));
    ASSERT_EQ(p11()->C_GetTokenInfo(3, &t), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(t.label), 5), std::string("A\0B  ", 5));
    EXPECT_EQ(pkcs11::TrimField(t.label), "A");
}

TEST_F(FaultP11Test, InitTokenTakesTheLabelFieldAsPassed) {
    start("slots=2; uninitialized=2; no_user_pin=1");
    CK_TOKEN_INFO t{};
    ASSERT_EQ(p11()->C_GetTokenInfo(1, &t), CKR_OK);
    EXPECT_EQ(t.flags & CKF_USER_PIN_INITIALIZED, 0u);
    {
        Session first;
        ASSERT_EQ(first.open(p11(), 1), CKR_OK);
        CK_UTF8CHAR user[] = "1234";
        EXPECT_EQ(p11()->C_Login(first.handle(), CKU_USER, user, 4), CKR_USER_PIN_NOT_INITIALIZED);
    }
    ASSERT_EQ(p11()->C_GetTokenInfo(2, &t), CKR_OK);
    EXPECT_EQ(t.flags & CKF_TOKEN_INITIALIZED, 0u);
    Session s;
    EXPECT_EQ(s.open(p11(), 2), CKR_TOKEN_NOT_RECOGNIZED);

    CK_UTF8CHAR label[128];
    pkcs11::PadField(label, sizeof label, "Fresh");
    CK_UTF8CHAR so[] = "87654321";
    ASSERT_EQ(p11()->C_InitToken(2, so, 8, label), CKR_OK);
    ASSERT_EQ(p11()->C_GetTokenInfo(2, &t), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(t.label), 32), "Fresh" + std::string(27, ' '));
    EXPECT_NE(t.flags & CKF_TOKEN_INITIALIZED, 0u);
    EXPECT_EQ(t.flags & CKF_USER_PIN_INITIALIZED, 0u);

    // Re-initializing needs the security officer's PIN and no open session.
    CK_UTF8CHAR wrong[] = "00000000";
    EXPECT_EQ(p11()->C_InitToken(2, wrong, 8, label), CKR_PIN_INCORRECT);
    ASSERT_EQ(s.open(p11(), 2), CKR_OK);
    EXPECT_EQ(p11()->C_InitToken(2, so, 8, label), CKR_SESSION_EXISTS);
}

TEST_F(FaultP11Test, LoginStatesPinsAndLocking) {
    start("user_pin=1111; so_pin=22222222; pin_tries=2");
    Session s;
    ASSERT_EQ(s.open(p11(), 1), CKR_OK);
    CK_SESSION_INFO info{};
    ASSERT_EQ(p11()->C_GetSessionInfo(s.handle(), &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(info.slotID, 1u);

    CK_UTF8CHAR user[] = "1111";
    CK_UTF8CHAR so[] = "22222222";
    CK_UTF8CHAR wrong[] = "9999";
    EXPECT_EQ(p11()->C_Login(s.handle(), CKU_USER, wrong, 4), CKR_PIN_INCORRECT);
    EXPECT_EQ(p11()->C_Login(s.handle(), CKU_USER, user, 3), CKR_PIN_INCORRECT);  // prefix
    EXPECT_EQ(p11()->C_Login(s.handle(), CKU_USER, user, 4), CKR_PIN_LOCKED);
    CK_TOKEN_INFO t{};
    ASSERT_EQ(p11()->C_GetTokenInfo(1, &t), CKR_OK);
    EXPECT_NE(t.flags & CKF_USER_PIN_LOCKED, 0u);

    // The officer unblocks by setting a new user PIN.
    ASSERT_EQ(p11()->C_Login(s.handle(), CKU_SO, so, 8), CKR_OK);
    ASSERT_EQ(p11()->C_GetSessionInfo(s.handle(), &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_SO_FUNCTIONS);
    EXPECT_EQ(p11()->C_Login(s.handle(), CKU_USER, user, 4), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    CK_UTF8CHAR fresh[] = "5555";
    EXPECT_EQ(p11()->C_InitPIN(s.handle(), fresh, 2), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(p11()->C_InitPIN(s.handle(), fresh, 4), CKR_OK);
    ASSERT_EQ(p11()->C_Logout(s.handle()), CKR_OK);
    EXPECT_EQ(p11()->C_Logout(s.handle()), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(p11()->C_InitPIN(s.handle(), fresh, 4), CKR_USER_NOT_LOGGED_IN);

    ASSERT_EQ(p11()->C_Login(s.handle(), CKU_USER, fresh, 4), CKR_OK);
    EXPECT_EQ(p11()->C_Login(s.handle(), CKU_USER, fresh, 4), CKR_USER_ALREADY_LOGGED_IN);
    ASSERT_EQ(p11()->C_GetSessionInfo(s.handle(), &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(p11()->C_SetPIN(s.handle(), wrong, 4, user, 4), CKR_PIN_INCORRECT);
    EXPECT_EQ(p11()->C_SetPIN(s.handle(), fresh, 4, user, 4), CKR_OK);

    // Closing the last session ends the login; a closed handle is invalid everywhere.
    const CK_SESSION_HANDLE old = s.handle();
    ASSERT_EQ(s.close(), CKR_OK);
    EXPECT_EQ(p11()->C_GetSessionInfo(old, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(p11()->C_Logout(old), CKR_SESSION_HANDLE_INVALID);
    ASSERT_EQ(s.open(p11(), 1, CKF_SERIAL_SESSION), CKR_OK);
    ASSERT_EQ(p11()->C_GetSessionInfo(s.handle(), &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(p11()->C_Login(s.handle(), CKU_SO, so, 8), CKR_SESSION_READ_ONLY_EXISTS);
    ASSERT_EQ(p11()->C_Login(s.handle(), CKU_USER, user, 4), CKR_OK);
    ASSERT_EQ(p11()->C_GetSessionInfo(s.handle(), &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(p11()->C_SetPIN(s.handle(), user, 4, fresh, 4), CKR_SESSION_READ_ONLY);
}

TEST_F(FaultP11Test, SearchSeesPrivateObjectsOnlyAfterLogin) {
    start("objects=300");
    Session s;
    ASSERT_EQ(s.open(p11(), 1), CKR_OK);
    EXPECT_EQ(find(s.handle()).size(), 3u + 300u);  // public data, certificate, public key

    CK_UTF8CHAR pin[] = "1234";
    ASSERT_EQ(p11()->C_Login(s.handle(), CKU_USER, pin, 4), CKR_OK);
    EXPECT_EQ(find(s.handle()).size(), 5u + 300u);

    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_BYTE id[] = {0x01, 0xA5};
    std::vector<CK_ATTRIBUTE> tmpl = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, id, sizeof id}};
    EXPECT_EQ(find(s.handle(), tmpl).size(), 1u);
    id[1] = 0xA6;
    EXPECT_TRUE(find(s.handle(), tmpl).empty());

    CK_OBJECT_HANDLE h[4];
    CK_ULONG n = 0;
    EXPECT_EQ(p11()->C_FindObjects(s.handle(), h, 4, &n), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(p11()->C_FindObjectsInit(s.handle(), nullptr, 0), CKR_OK);
    EXPECT_EQ(p11()->C_FindObjectsInit(s.handle(), nullptr, 0), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(p11()->C_FindObjectsFinal(s.handle()), CKR_OK);

    // After logout the private key's handle no longer names a visible object.
    cls = CKO_PRIVATE_KEY;
    tmpl.resize(1);
    const auto keys = find(s.handle(), tmpl);
    ASSERT_EQ(keys.size(), 1u);
    ASSERT_EQ(p11()->C_Logout(s.handle()), CKR_OK);
    CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(p11()->C_GetAttributeValue(s.handle(), keys[0], &label, 1),
              CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(FaultP11Test, AttributeReadsFollowTheLengthQueryConvention) {
    start("");
    Session s;
    ASSERT_EQ(s.open(p11(), 1), CKR_OK);
    CK_UTF8CHAR pin[] = "1234";
    ASSERT_EQ(p11()->C_Login(s.handle(), CKU_USER, pin, 4), CKR_OK);
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    std::vector<CK_ATTRIBUTE> keyTmpl = {{CKA_CLASS, &cls, sizeof cls}};
    const auto keys = find(s.handle(), keyTmpl);
    ASSERT_EQ(keys.size(), 1u);
    cls = CKO_DATA;
    const auto data = find(s.handle(), keyTmpl);
    ASSERT_EQ(data.size(), 2u);

    // Length query then read, on an object without CKA_ID: the missing entry is marked.
    CK_ATTRIBUTE q[2] = {{CKA_LABEL, nullptr, 0}, {CKA_ID, nullptr, 0}};
    EXPECT_EQ(p11()->C_GetAttributeValue(s.handle(), data[0], q, 2), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(q[0].ulValueLen, 10u);
    EXPECT_EQ(q[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    std::vector<CK_BYTE> buf(q[0].ulValueLen);
    q[0].pValue = buf.data();
    q[1].ulValueLen = 0;
    EXPECT_EQ(p11()->C_GetAttributeValue(s.handle(), data[0], q, 2), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(std::string(buf.begin(), buf.end()), "Fault Data");

    // A short buffer is refused and never written past.
    CK_BYTE small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    CK_ATTRIBUTE shortRead{CKA_LABEL, small, 3};
    EXPECT_EQ(p11()->C_GetAttributeValue(s.handle(), data[0], &shortRead, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortRead.ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(small[3], 0xEE);

    // A sensitive value fails the whole call, whatever else is asked.
    CK_ATTRIBUTE k[2] = {{CKA_LABEL, nullptr, 0}, {CKA_PRIVATE_EXPONENT, nullptr, 0}};
    EXPECT_EQ(p11()->C_GetAttributeValue(s.handle(), keys[0], k, 2), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(k[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);

    // Writes: read-only attributes refuse the whole template and change nothing.
    const char newLabel[] = "Renamed";
    CK_OBJECT_CLASS other = CKO_CERTIFICATE;
    CK_ATTRIBUTE w[2] = {{CKA_LABEL, const_cast<char*>(newLabel), 7},
                         {CKA_CLASS, &other, sizeof other}};
    EXPECT_EQ(p11()->C_SetAttributeValue(s.handle(), data[0], w, 2), CKR_ATTRIBUTE_READ_ONLY);
    ASSERT_EQ(p11()->C_SetAttributeValue(s.handle(), data[0], w, 1), CKR_OK);
    CK_BYTE back[16] = {};
    CK_ATTRIBUTE r{CKA_LABEL, back, sizeof back};
    ASSERT_EQ(p11()->C_GetAttributeValue(s.handle(), data[0], &r, 1), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back), r.ulValueLen), "Renamed");
    EXPECT_EQ(fault_.calls("C_GetAttributeValue"), 5u);
    EXPECT_EQ(fault_.calls("C_SetAttributeValue"), 2u);
}

TEST_F(FaultP11Test, UnsupportedFunctionsAreRefusedAndCounted) {
    start("");
    Session s;
    ASSERT_EQ(s.open(p11(), 1), CKR_OK);
    CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(p11()->C_SignInit(s.handle(), &mech, 1), CKR_FUNCTION_NOT_SUPPORTED);
    CK_BYTE random[8];
    EXPECT_EQ(p11()->C_GenerateRandom(s.handle(), random, sizeof random),
              CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(fault_.calls("unsupported"), 2u);
}

// Objects made through C_CreateObject: a session object is seen by every session of the
// application and ends with the session that made it; a token object stays.
TEST_F(FaultP11Test, CreatedSessionObjectsLiveAsLongAsTheirSession) {
    start("");
    Session maker, reader;
    ASSERT_EQ(maker.open(p11(), 1, CKF_SERIAL_SESSION), CKR_OK);  // read-only
    ASSERT_EQ(reader.open(p11(), 1), CKR_OK);
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    char app[] = "made";
    std::vector<CK_ATTRIBUTE> object = {{CKA_CLASS, &data, sizeof data}, {CKA_APPLICATION, app, 4}};
    std::vector<CK_ATTRIBUTE> search = {{CKA_APPLICATION, app, 4}};
    CK_OBJECT_HANDLE made = 0;
    ASSERT_EQ(p11()->C_CreateObject(maker.handle(), object.data(), object.size(), &made), CKR_OK);
    EXPECT_EQ(find(reader.handle(), search), std::vector<CK_OBJECT_HANDLE>{made});
    CK_ATTRIBUTE token{CKA_TOKEN, nullptr, 0};
    CK_BBOOL isToken = CK_TRUE;
    token.pValue = &isToken;
    token.ulValueLen = 1;
    ASSERT_EQ(p11()->C_GetAttributeValue(reader.handle(), made, &token, 1), CKR_OK);
    EXPECT_EQ(isToken, CK_FALSE) << "CKA_TOKEN absent makes a session object";

    // A token object needs a read-write session; the class is required.
    object.push_back({CKA_TOKEN, &yes, 1});
    EXPECT_EQ(p11()->C_CreateObject(maker.handle(), object.data(), object.size(), &made),
              CKR_SESSION_READ_ONLY);
    EXPECT_EQ(p11()->C_CreateObject(maker.handle(), search.data(), search.size(), &made),
              CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(fault_.calls("C_CreateObject"), 3u);

    maker.close();
    EXPECT_TRUE(find(reader.handle(), search).empty()) << "gone with its session";
}

TEST_F(FaultP11Test, BadConfigurationsAreRefusedAndLeaveTheStateAlone) {
    start("slots=5");
    std::string why;
    for (const char* bad : {"slots=99999", "fail=C_Nothing:1", "fail=C_Login", "label=9:x",
                            "empty=1,,2", "bogus=1", "delay_us=-1", "label=1:bad\\escape",
                            "slots=0x", "pin_tries=0", "slots=4096; objects=10000"}) {
        EXPECT_FALSE(fault_.configure(bad, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
    CK_ULONG count = 0;
    EXPECT_EQ(p11()->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 5u);
}

TEST_F(FaultP11Test, StatsTextIsCutToTheCallersBuffer) {
    start("");
    CK_INFO info{};
    for (int i = 0; i < 12; ++i) {
        p11()->C_GetInfo(&info);
    }
    auto stats = fault_.module().symbol<decltype(&FaultP11_Stats)>("FaultP11_Stats");
    ASSERT_NE(stats, nullptr);
    const std::size_t full = stats(nullptr, 0);
    char buffer[8];
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(stats(buffer, 5), full);
    EXPECT_EQ(std::string(buffer), "C_In");
    EXPECT_EQ(buffer[5], 'X');
    EXPECT_NE(fault_.stats().find("C_GetInfo=12"), std::string::npos);
}

// Overlap detection: unserialised threads are caught, serialised ones never are.
TEST_F(FaultP11Test, OverlappingCallsAreDetectedOnlyWhenTheyHappen) {
    start("delay_us=5000");
    auto hammer = [&](std::mutex* serialise) {
        std::barrier start(2);
        auto work = [&] {
            start.arrive_and_wait();
            CK_INFO info{};
            for (int i = 0; i < 10; ++i) {
                std::unique_lock<std::mutex> lock;
                if (serialise != nullptr) {
                    lock = std::unique_lock(*serialise);
                }
                p11()->C_GetInfo(&info);
            }
        };
        std::thread a(work), b(work);
        a.join();
        b.join();
    };
    std::mutex lock;
    hammer(&lock);
    EXPECT_EQ(fault_.overlaps(), 0u) << fault_.stats();
    EXPECT_EQ(fault_.calls("C_GetInfo"), 20u);
    hammer(nullptr);
    EXPECT_GT(fault_.overlaps(), 0u) << fault_.stats();
    EXPECT_NE(fault_.stats().find("first_overlap=\"C_GetInfo during C_GetInfo\""),
              std::string::npos);
    fault_.resetCounts();
    EXPECT_EQ(fault_.overlaps(), 0u);
}

}  // namespace
}  // namespace vantor::faultp11
