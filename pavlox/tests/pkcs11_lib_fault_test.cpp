// The library object over the fault-injecting module: loading and its failures, foreign
// initialization, the result model, slot lists beyond the list's room, label and PIN bytes as
// the module receives them, text trimming, and serialization of concurrent callers.
#include <barrier>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "classes/p11_session.h"
#include "fault_module.h"
#include "frame/module.h"
#include "lib_test_util.h"

namespace pavlox::testing {
namespace {

using vantor::faultp11::FaultModule;
using vantor::faultp11::NoFunctionListPath;

constexpr HRESULT kNotInitialized = static_cast<HRESULT>(0x80400190u);

class LibFault : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fault_.ok()) {
            GTEST_SKIP() << "fault module not built or not loadable at " << fault_.path();
        }
        ASSERT_EQ(moduleLockCount(), 0);
    }
    // Whatever a test did, no library, session, collection or token description outlives it.
    void TearDown() override { EXPECT_EQ(moduleLockCount(), 0); }
    void configure(const std::string& spec) {
        std::string why;
        ASSERT_TRUE(fault_.configure(spec, &why)) << why;
    }
    HRESULT load(Lib& lib) { return lib->Load(bstr(fault_.path()).get()); }
    // The token description as the module hands it out, read past the library.
    CK_TOKEN_INFO rawInfo(CK_SLOT_ID slot) {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(fault_.functions()->C_GetTokenInfo(slot, &info), CKR_OK);
        return info;
    }

    FaultModule fault_;
};

TEST_F(LibFault, BadNamesAreRefusedBeforeTheLoadedModuleIsTouched) {
    configure("");
    Lib lib;
    ASSERT_EQ(load(lib), S_OK);
    EXPECT_EQ(lib->Load(nullptr), E_INVALIDARG);
    EXPECT_EQ(lib->Load(bstr("").get()), E_INVALIDARG);
    // A NUL inside the name would make the loader open a different file.
    vantor::ole::Bstr embedded(SysAllocStringLen(u"x\0y", 3));
    EXPECT_EQ(lib->Load(embedded.get()), E_INVALIDARG);
    VARIANT_BOOL initialized = VARIANT_FALSE;
    EXPECT_EQ(lib->get_Initialized(&initialized), S_OK);
    EXPECT_EQ(initialized, VARIANT_TRUE);
    EXPECT_EQ(fault_.calls("C_Finalize"), 0u);
    VARIANT slots;
    VariantInit(&slots);
    EXPECT_EQ(lib->get_SlotList(boolArg(false), &slots), S_OK);
    EXPECT_EQ(slotIds(slots).size(), 2u);
}

TEST_F(LibFault, FailedLoadsLeaveNothingLoadedAndReleaseThePreviousModule) {
    struct Case {
        const char* spec;
        std::string name;
        HRESULT expected;
    };
    std::vector<Case> cases = {
        {"", "/nonexistent/module.so", E_INVALIDARG},
        {"", NoFunctionListPath(), E_INVALIDARG},
        {"fail=C_GetFunctionList:0x6", fault_.path(), static_cast<HRESULT>(0x80400006u)},
        {"fail=C_Initialize:0x5", fault_.path(), static_cast<HRESULT>(0x80400005u)},
    };
    // The first 4 KiB of real modules: their segments reach past the end of the file, and
    // handing them to dlopen used to kill the process with SIGBUS.
    char dir[] = "/tmp/vantor-truncated-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string softhsm = "/usr/lib/softhsm/libsofthsm2.so";
    for (const std::string& whole : {fault_.path(), softhsm}) {
        std::ifstream in(whole, std::ios::binary);
        if (!in) {
            // The fault module is always built; SoftHSM2 is cut too where it is installed.
            EXPECT_EQ(whole, softhsm) << "no module at " << whole << " to cut";
            continue;
        }
        std::vector<char> head(4096);
        in.read(head.data(), static_cast<std::streamsize>(head.size()));
        const std::string cut = std::string(dir) + "/" + std::to_string(cases.size()) + ".so";
        std::ofstream(cut, std::ios::binary).write(head.data(), in.gcount());
        cases.push_back({"", cut, E_INVALIDARG});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " with '" + c.spec + "'");
        configure("");
        Lib lib;
        ASSERT_EQ(load(lib), S_OK);
        configure(c.spec);  // resets the module: the library's own initialization is gone
        const auto initsBefore = fault_.calls("C_Initialize");
        EXPECT_EQ(lib->Load(bstr(c.name).get()), c.expected);
        VARIANT_BOOL initialized = VARIANT_TRUE;
        EXPECT_EQ(lib->get_Initialized(&initialized), S_OK);
        EXPECT_EQ(initialized, VARIANT_FALSE);
        VARIANT_BOOL present = VARIANT_FALSE;
        EXPECT_EQ(lib->get_TokenPresent(1, &present), kNotInitialized);
        EXPECT_EQ(lib->Initialize(), kNotInitialized);
        // A module that failed C_Initialize is not left behind half-bound.
        EXPECT_LE(fault_.calls("C_Initialize") - initsBefore, 1u);
        EXPECT_EQ(fault_.calls("C_Finalize"), 1u) << "the previous module was finalized";
    }
    std::filesystem::remove_all(dir);
}

TEST_F(LibFault, ForeignInitializationIsNeitherRepeatedNorUndone) {
    configure("preinitialized");
    {
        Lib lib;
        ASSERT_EQ(load(lib), S_OK);
        EXPECT_TRUE(lib->foreignInitialized());
        EXPECT_EQ(fault_.calls("C_Initialize"), 0u);
        VARIANT_BOOL initialized = VARIANT_FALSE;
        EXPECT_EQ(lib->get_Initialized(&initialized), S_OK);
        EXPECT_EQ(initialized, VARIANT_TRUE);
        EXPECT_EQ(lib->Initialize(), S_OK);  // already initialized: no call
        EXPECT_EQ(lib->Unload(), S_OK);
        EXPECT_EQ(lib->get_Initialized(&initialized), S_OK);
        EXPECT_EQ(initialized, VARIANT_FALSE);
        ASSERT_EQ(load(lib), S_OK);
    }  // destruction unloads
    EXPECT_EQ(fault_.calls("C_Initialize"), 0u);
    EXPECT_EQ(fault_.calls("C_Finalize"), 0u);
    CK_INFO info{};
    EXPECT_EQ(fault_.functions()->C_GetInfo(&info), CKR_OK) << "still initialized by its owner";

    // Our own initialization, with no locking callbacks, is undone by Unload and destruction.
    configure("");
    {
        Lib lib;
        ASSERT_EQ(load(lib), S_OK);
        EXPECT_FALSE(lib->foreignInitialized());
        EXPECT_EQ(fault_.calls("C_Initialize"), 1u);
        EXPECT_TRUE(fault_.lastInitializeArgsNull());
        EXPECT_EQ(lib->Unload(), S_OK);
        EXPECT_EQ(fault_.calls("C_Finalize"), 1u);
        EXPECT_EQ(lib->Unload(), S_OK);
        EXPECT_EQ(fault_.calls("C_Finalize"), 1u);
        ASSERT_EQ(load(lib), S_OK);
    }
    EXPECT_EQ(fault_.calls("C_Finalize"), 2u);
}

TEST_F(LibFault, EveryTokenCallAfterUnloadIsNotInitialized) {
    configure("");
    Lib lib;
    ASSERT_EQ(load(lib), S_OK);
    ASSERT_EQ(lib->Unload(), S_OK);
    VARIANT_BOOL flag = VARIANT_TRUE;
    EXPECT_EQ(lib->get_Initialized(&flag), S_OK);
    EXPECT_EQ(flag, VARIANT_FALSE);
    EXPECT_EQ(lib->get_Initialized(nullptr), E_INVALIDARG);
    EXPECT_EQ(lib->get_TokenPresent(1, &flag), kNotInitialized);
    EXPECT_EQ(lib->get_TokenValid(1, &flag), kNotInitialized);
    EXPECT_EQ(lib->InitToken(1, bstr("12345678").get(), bstr("x").get()), kNotInitialized);
    EXPECT_EQ(lib->lastResult(), kNotInitialized);
    VARIANT out;
    VariantInit(&out);
    EXPECT_EQ(lib->get_SlotList(boolArg(false), &out), kNotInitialized);
    EXPECT_EQ(lib->get_TokenInfo(1, &out), kNotInitialized);
    EXPECT_EQ(out.vt, VT_EMPTY);
    EXPECT_EQ(lib->OpenSession(1, &out), kNotInitialized);
    EXPECT_EQ(out.vt, VT_EMPTY);
    EXPECT_EQ(fault_.calls("C_GetSlotList") + fault_.calls("C_GetTokenInfo") +
                  fault_.calls("C_GetSlotInfo") + fault_.calls("C_OpenSession"),
              0u);
}

TEST_F(LibFault, SlotListArgumentsAndTheLimitOfItsList) {
    configure("slots=3;empty=2");
    Lib lib;
    ASSERT_EQ(load(lib), S_OK);
    VARIANT out;
    VariantInit(&out);
    EXPECT_EQ(lib->get_SlotList(missingArg(), &out), E_INVALIDARG);
    EXPECT_EQ(lib->get_SlotList(boolArg(false), nullptr), E_INVALIDARG);
    ASSERT_EQ(lib->get_SlotList(boolArg(false), &out), S_OK);
    EXPECT_EQ(slotIds(out), (std::vector<LONG>{1, 2, 3}));
    ASSERT_EQ(lib->get_SlotList(boolArg(true), &out), S_OK);
    EXPECT_EQ(slotIds(out), (std::vector<LONG>{1, 3}));
    // Anything that converts to a boolean is taken, as a script would pass it.
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"True");
    ASSERT_EQ(lib->get_SlotList(text, &out), S_OK);
    VariantClear(&text);
    EXPECT_EQ(slotIds(out).size(), 2u);

    configure("slots=256");
    ASSERT_EQ(load(lib), S_OK);
    ASSERT_EQ(lib->get_SlotList(boolArg(false), &out), S_OK);
    const auto all = slotIds(out);
    ASSERT_EQ(all.size(), 256u);
    EXPECT_EQ(all.back(), 256);

    configure("slots=257");
    ASSERT_EQ(load(lib), S_OK);
    EXPECT_EQ(lib->get_SlotList(boolArg(false), &out), static_cast<HRESULT>(0x80400150u));
    EXPECT_EQ(out.vt, VT_EMPTY);
}

TEST_F(LibFault, SlotIdsAboveThe31BitRangeRoundTrip) {
    // Ids travel as 32-bit longs: 0x80000001 arrives negative and must reach the module as
    // 0x80000001 again, not sign-extended to a 64-bit id the module does not know.
    configure("slots=2;first_slot=0x80000001;label=0x80000002:High");
    Lib lib;
    ASSERT_EQ(load(lib), S_OK);
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(lib->get_SlotList(boolArg(false), &out), S_OK);
    const auto ids = slotIds(out);
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_LT(ids[1], 0);
    ASSERT_EQ(lib->get_TokenInfo(ids[1], &out), S_OK);
    EXPECT_EQ(tokenTexts(out).label, "High");
}

TEST_F(LibFault, EmptyAndForeignSlotsAreAnswersNotErrors) {
    configure("slots=4;empty=2;foreign=3;fail=C_GetTokenInfo:0x30@3");
    Lib lib;
    ASSERT_EQ(load(lib), S_OK);
    struct Case {
        LONG slot;
        HRESULT valid;
        VARIANT_BOOL validValue, present;
    };
    // The third C_GetTokenInfo (slot 3 here) fails with CKR_DEVICE_ERROR: folded.
    const Case cases[] = {{1, S_OK, VARIANT_TRUE, VARIANT_TRUE},
                          {2, S_OK, VARIANT_FALSE, VARIANT_FALSE},
                          {3, static_cast<HRESULT>(0x80400030u), VARIANT_TRUE, VARIANT_TRUE},
                          {3, S_OK, VARIANT_FALSE, VARIANT_TRUE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.slot);
        VARIANT_BOOL value = 7;  // untouched on failure
        EXPECT_EQ(lib->get_TokenValid(c.slot, &value), c.valid);
        EXPECT_EQ(lib->lastResult(), c.valid);
        if (c.valid == S_OK) {
            EXPECT_EQ(value, c.validValue);
        } else {
            EXPECT_EQ(value, 7);
        }
        EXPECT_EQ(lib->get_TokenPresent(c.slot, &value), S_OK);
        EXPECT_EQ(value, c.present);
    }
    VARIANT_BOOL value = VARIANT_FALSE;
    EXPECT_EQ(lib->get_TokenPresent(99, &value), static_cast<HRESULT>(0x80400003u));
    EXPECT_EQ(lib->get_TokenValid(1, nullptr), E_POINTER);
    EXPECT_EQ(lib->get_TokenPresent(1, nullptr), E_POINTER);
    EXPECT_EQ(lib->get_TokenInfo(1, nullptr), E_POINTER);
    EXPECT_EQ(lib->lastResult(), E_POINTER);
}

TEST_F(LibFault, LabelsReachTheModuleBlankPaddedAndCutAt32Bytes) {
    configure("slots=1;uninitialized=1");
    Lib lib;
    ASSERT_EQ(load(lib), S_OK);
    const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";
    // 31 ASCII bytes, then a two-byte character straddling the 32-byte cut.
    const std::string straddling = std::string(31, 'x') + "\xC3\xA9tail";
    struct Case {
        std::string label;
        std::string field;  // the 32 bytes the module stores
    };
    const Case cases[] = {
        {"Token", "Token" + std::string(27, ' ')},
        {forty, forty.substr(0, 32)},
        {"", std::string(32, ' ')},
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9" + std::string(27, ' ')},
        {straddling, std::string(31, 'x') + " "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        // A blank token takes any SO PIN; an initialized one wants the same PIN again.
        ASSERT_EQ(lib->InitToken(1, bstr("12345678").get(), bstr(c.label).get()), S_OK);
        EXPECT_EQ(lib->lastResult(), S_OK);
        const CK_TOKEN_INFO info = rawInfo(1);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.label), 32), c.field);
    }
    // A null label is an empty one.
    ASSERT_EQ(lib->InitToken(1, bstr("12345678").get(), nullptr), S_OK);
    EXPECT_EQ(lib->InitToken(1, bstr("wrong-pin").get(), bstr("x").get()),
              static_cast<HRESULT>(0x804000A0u));
    EXPECT_EQ(lib->lastResult(), static_cast<HRESULT>(0x804000A0u));
}

TEST_F(LibFault, NonAsciiPinsArePassedWithTheirByteCount) {
    // "pïn-5678" is 8 characters but 9 UTF-8 bytes: counting characters would cut the last
    // byte and the module would refuse the PIN.
    const std::string pin = "p\xC3\xAFn-5678";
    configure("slots=1;so_pin=p\\xC3\\xAFn-5678");
    Lib lib;
    ASSERT_EQ(load(lib), S_OK);
    EXPECT_EQ(lib->InitToken(1, bstr(pin).get(), bstr("Renamed").get()), S_OK);
    EXPECT_EQ(vantor::pkcs11::TrimField(rawInfo(1).label), "Renamed");
    // A null PIN is an empty one: the module is asked, and refuses it.
    EXPECT_EQ(lib->InitToken(1, nullptr, bstr("x").get()), static_cast<HRESULT>(0x804000A0u));
}

TEST_F(LibFault, TokenTextsAreTrimmedAtBlanksAndNul) {
    configure(
        "slots=3;label=1:ABC;serial=1:0042;model=1:M\\x00odel;manufacturer=1:Maker  Inc   ;"
        "label=2:\\xC3\\xA9t\\xC3\\xA9;label=3:   ");
    Lib lib;
    ASSERT_EQ(load(lib), S_OK);
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(lib->get_TokenInfo(1, &out), S_OK);
    EXPECT_EQ(lib->lastResult(), S_OK);
    const TokenTexts one = tokenTexts(out);
    EXPECT_EQ(one.label, "ABC");
    EXPECT_EQ(one.serial, "0042");
    EXPECT_EQ(one.model, "M");
    EXPECT_EQ(one.manufacturer, "Maker  Inc");
    EXPECT_EQ(static_cast<CK_FLAGS>(static_cast<ULONG>(one.flags)), rawInfo(1).flags);
    ASSERT_EQ(lib->get_TokenInfo(2, &out), S_OK);
    EXPECT_EQ(tokenTexts(out).label, "\xC3\xA9t\xC3\xA9");
    ASSERT_EQ(lib->get_TokenInfo(3, &out), S_OK);
    EXPECT_EQ(tokenTexts(out).label, "");
    EXPECT_EQ(lib->get_TokenInfo(9, &out), static_cast<HRESULT>(0x80400003u));
    EXPECT_EQ(out.vt, VT_EMPTY);

    // The whole description is kept, not only what ITokenInfo shows.
    ASSERT_EQ(lib->get_TokenInfo(1, &out), S_OK);
    auto* token = static_cast<CTokenInfo*>(static_cast<ITokenInfo*>(out.pdispVal));
    const CK_TOKEN_INFO raw = rawInfo(1);
    EXPECT_EQ(std::memcmp(&token->info(), &raw, sizeof(raw)), 0);
    // It is a copy: it outlives its library, and keeps the server from unloading meanwhile.
    lib.reset();
    EXPECT_GT(moduleLockCount(), 0);
    EXPECT_EQ(tokenTexts(out).label, "ABC");
    VariantClear(&out);

    // A freshly created one holds zeros and reads as empty texts.
    CTokenInfo* blank = nullptr;
    ASSERT_EQ(createInternal(&blank), S_OK);
    vantor::ole::Bstr label;
    EXPECT_EQ(blank->get_Label(label.out()), S_OK);
    EXPECT_EQ(SysStringLen(label.get()), 0u);
    EXPECT_EQ(blank->get_Label(nullptr), E_POINTER);
    LONG flags = -1;
    EXPECT_EQ(blank->get_Flags(&flags), S_OK);
    EXPECT_EQ(flags, 0);
    blank->Release();
}

TEST_F(LibFault, SessionsHoldTheirLibraryAndCloseTheirHandle) {
    configure("slots=2;fail=C_OpenSession:0xE0@2");
    VARIANT session;
    VariantInit(&session);
    {
        Lib lib;
        ASSERT_EQ(load(lib), S_OK);
        EXPECT_EQ(lib->OpenSession(1, nullptr), E_INVALIDARG);
        ASSERT_EQ(lib->OpenSession(1, &session), S_OK);
        ASSERT_EQ(session.vt, VT_DISPATCH);
        VARIANT second;
        VariantInit(&second);
        EXPECT_EQ(lib->OpenSession(2, &second), static_cast<HRESULT>(0x804000E0u));
        EXPECT_EQ(second.vt, VT_EMPTY);
    }  // the session keeps the library, and so the module, alive
    EXPECT_EQ(fault_.calls("C_Finalize"), 0u);
    EXPECT_EQ(fault_.openSessions(), 1u);
    IP11Session* s = nullptr;
    ASSERT_EQ(session.pdispVal->QueryInterface(IID_IP11Session, reinterpret_cast<void**>(&s)),
              S_OK);
    VARIANT_BOOL valid = VARIANT_FALSE;
    EXPECT_EQ(s->get_Valid(&valid), S_OK);
    EXPECT_EQ(valid, VARIANT_TRUE);
    EXPECT_EQ(s->Close(), S_OK);
    EXPECT_EQ(fault_.openSessions(), 0u);
    EXPECT_EQ(s->get_Valid(&valid), S_OK);
    EXPECT_EQ(valid, VARIANT_FALSE);
    s->Release();
    VariantClear(&session);
    EXPECT_EQ(fault_.calls("C_Finalize"), 1u) << "the last session released the library";
}

TEST_F(LibFault, ConcurrentCallersNeverOverlapInTheModule) {
    configure("slots=4;delay_us=300");
    Lib lib;
    ASSERT_EQ(load(lib), S_OK);
    fault_.resetCounts();
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kRounds; ++i) {
                VARIANT out;
                VariantInit(&out);
                VARIANT_BOOL flag = VARIANT_FALSE;
                HRESULT hr = S_OK;
                switch ((t + i) % 4) {
                    case 0:
                        hr = lib->get_SlotList(boolArg(true), &out);
                        break;
                    case 1:
                        hr = lib->get_TokenInfo(1 + i % 4, &out);
                        break;
                    case 2:
                        hr = lib->get_TokenPresent(1 + i % 4, &flag);
                        break;
                    default:
                        hr = lib->OpenSession(1 + i % 4, &out);
                        if (hr == S_OK) {
                            IP11Session* s = nullptr;
                            out.pdispVal->QueryInterface(IID_IP11Session,
                                                         reinterpret_cast<void**>(&s));
                            s->Close();
                            s->Release();
                        }
                }
                VariantClear(&out);
                failures[t] += hr != S_OK;
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
    EXPECT_GE(fault_.calls("C_GetTokenInfo"), 20u);
    EXPECT_EQ(fault_.overlaps(), 0u) << fault_.stats();
}

}  // namespace
}  // namespace pavlox::testing
