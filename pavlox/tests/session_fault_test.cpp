// Sessions and objects over the fault-injecting module: login and PIN rules, what a closed or
// unloaded session answers, the search's argument rules and its 256-object room, the exact
// module calls of an attribute read, and objects used from several threads while the session
// closes. Every test ends with no server object left alive.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <thread>

#include "fault_module.h"
#include "frame/module.h"
#include "session_test_util.h"

namespace pavlox::testing {
namespace {

using vantor::faultp11::FaultModule;

constexpr HRESULT kNotInitialized = static_cast<HRESULT>(0x80400190u);
constexpr HRESULT kSessionInvalid = static_cast<HRESULT>(0x804000B3u);
constexpr HRESULT kPinIncorrect = static_cast<HRESULT>(0x804000A0u);
constexpr HRESULT kNotLoggedIn = static_cast<HRESULT>(0x80400101u);
constexpr HRESULT kTypeInvalid = static_cast<HRESULT>(0x80400012u);
constexpr HRESULT kSensitive = static_cast<HRESULT>(0x80400011u);
constexpr HRESULT kReadOnly = static_cast<HRESULT>(0x80400010u);
constexpr LONG kSlot = 1;

class SessionFault : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fault_.ok()) {
            GTEST_SKIP() << "fault module not built or not loadable at " << fault_.path();
        }
        ASSERT_EQ(pavlox::moduleLockCount(), 0);
    }
    // Whatever a test did, no session, object, attribute or collection may outlive it.
    void TearDown() override { EXPECT_EQ(pavlox::moduleLockCount(), 0); }

    void configure(const std::string& spec) {
        std::string why;
        ASSERT_TRUE(fault_.configure(spec, &why)) << why;
    }
    // Loads the module into lib and opens a session on the first slot.
    Ref<CP11Session> open(Lib& lib, const std::string& spec = "delay_us=0") {
        configure(spec);
        EXPECT_EQ(lib->Load(bstr(fault_.path()).get()), S_OK);
        HRESULT hr = E_FAIL;
        auto session = openSession(lib, kSlot, &hr);
        EXPECT_EQ(hr, S_OK);
        return session;
    }
    // The one object whose label is label, found with a one-attribute template.
    Ref<IP11Object> byLabel(CP11Session* session, const std::string& label) {
        auto a = attribute(CKA_LABEL, textBytes(label));
        vantor::ole::Variant list;
        attributeList(list, {&a});
        auto found = find(session, *list.get());
        EXPECT_EQ(found.size(), 1u) << label;
        return found.empty() ? Ref<IP11Object>() : std::move(found[0]);
    }

    FaultModule fault_;
};

TEST_F(SessionFault, LoginLogoutAndPinChanges) {
    Lib lib;
    auto s = open(lib);
    ASSERT_TRUE(s);
    fault_.resetCounts();
    // An empty PIN never reaches the module.
    EXPECT_EQ(s->Login(nullptr, VARIANT_FALSE), E_INVALIDARG);
    EXPECT_EQ(s->Login(bstr("").get(), VARIANT_TRUE), E_INVALIDARG);
    EXPECT_EQ(fault_.calls("C_Login"), 0u);

    EXPECT_EQ(s->Login(bstr("9999").get(), VARIANT_FALSE), kPinIncorrect);
    EXPECT_EQ(s->lastResult(), kPinIncorrect);
    VARIANT_BOOL logged = VARIANT_TRUE;
    EXPECT_EQ(s->get_Logged(&logged), S_OK);
    EXPECT_EQ(logged, VARIANT_FALSE);
    EXPECT_EQ(s->get_Logged(nullptr), E_INVALIDARG);

    EXPECT_EQ(s->Login(bstr("1234").get(), VARIANT_FALSE), S_OK);
    // The module answers "already logged in" to the second login; the client sees success.
    EXPECT_EQ(s->Login(bstr("1234").get(), VARIANT_FALSE), S_OK);
    EXPECT_EQ(fault_.calls("C_Login"), 3u);
    EXPECT_EQ(s->get_Logged(&logged), S_OK);
    EXPECT_EQ(logged, VARIANT_TRUE);
    EXPECT_EQ(s->Logout(), S_OK);
    EXPECT_EQ(s->Logout(), kNotLoggedIn);

    // The security officer initializes the user PIN; the new PIN then logs the user in.
    EXPECT_EQ(s->Login(bstr("12345678").get(), VARIANT_TRUE), S_OK);
    EXPECT_EQ(s->get_Logged(&logged), S_OK);
    EXPECT_EQ(logged, VARIANT_TRUE);
    EXPECT_EQ(s->InitPIN(bstr("5678").get()), S_OK);
    EXPECT_EQ(s->Logout(), S_OK);
    EXPECT_EQ(s->InitPIN(bstr("8765").get()), kNotLoggedIn);  // the module's rule, not ours
    EXPECT_EQ(s->Login(bstr("1234").get(), VARIANT_FALSE), kPinIncorrect);
    EXPECT_EQ(s->Login(bstr("5678").get(), VARIANT_FALSE), S_OK);
    EXPECT_EQ(s->Logout(), S_OK);

    // A non-ASCII PIN reaches the module as its UTF-8 bytes, all of them: the module then
    // accepts exactly those bytes from any other caller.
    EXPECT_EQ(s->SetPIN(bstr("5678").get(), bstr("p\xC3\xA4\x35\x35").get()), S_OK);
    CK_FUNCTION_LIST_PTR raw = fault_.functions();
    CK_SESSION_HANDLE other = 0;
    ASSERT_EQ(
        raw->C_OpenSession(kSlot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &other),
        CKR_OK);
    CK_UTF8CHAR utf8[] = {'p', 0xC3, 0xA4, '5', '5'};
    EXPECT_EQ(raw->C_Login(other, CKU_USER, utf8, 4), CKR_PIN_INCORRECT);
    EXPECT_EQ(raw->C_Login(other, CKU_USER, utf8, sizeof(utf8)), CKR_OK);
    EXPECT_EQ(raw->C_CloseSession(other), CKR_OK);
    // A null old PIN is an empty one, which the module refuses.
    EXPECT_EQ(s->Logout(), S_OK);
    EXPECT_EQ(s->SetPIN(nullptr, bstr("1111").get()), kPinIncorrect);
}

TEST_F(SessionFault, ClosedAndUnloadedSessions) {
    Lib lib;
    auto s = open(lib);
    ASSERT_TRUE(s);
    auto data = byLabel(s.get(), "Fault Data");
    ASSERT_TRUE(data);
    EXPECT_EQ(s->Close(), S_OK);
    VARIANT_BOOL flag = VARIANT_TRUE;
    EXPECT_EQ(s->get_Valid(&flag), S_OK);
    EXPECT_EQ(flag, VARIANT_FALSE);
    // Operations that check the session first answer the invalid-handle code themselves; the
    // others pass the module's own answer on, which is the same code from a standard module.
    fault_.resetCounts();
    EXPECT_EQ(s->Logout(), kSessionInvalid);
    EXPECT_EQ(s->SetPIN(bstr("1234").get(), bstr("4321").get()), kSessionInvalid);
    EXPECT_EQ(s->InitPIN(bstr("4321").get()), kSessionInvalid);
    EXPECT_EQ(fault_.calls("C_Logout") + fault_.calls("C_SetPIN") + fault_.calls("C_InitPIN"), 0u);
    EXPECT_EQ(s->get_Logged(&flag), kSessionInvalid);
    EXPECT_EQ(s->Login(bstr("1234").get(), VARIANT_FALSE), kSessionInvalid);
    HRESULT hr = S_OK;
    EXPECT_TRUE(find(s.get(), nullArg(), &hr).empty());
    EXPECT_EQ(hr, kSessionInvalid);
    EXPECT_EQ(s->Close(), S_OK);

    // The object of a closed session: its own members fail cleanly, Valid is False.
    EXPECT_EQ(data->get_Valid(&flag), S_OK);
    EXPECT_EQ(flag, VARIANT_FALSE);
    EXPECT_EQ(data->get_Valid(nullptr), E_POINTER);
    vantor::ole::Variant types;
    typeList(types, {CKA_LABEL});
    getAttributes(data.get(), *types.get(), false, &hr);
    EXPECT_EQ(hr, E_UNEXPECTED);
    EXPECT_EQ(data->SetAttributeValue(*types.get()), E_UNEXPECTED);
    vantor::ole::Variant sig;
    // The frame answers before the argument is looked at.
    EXPECT_EQ(data->Sign(VARIANT{}, sig.get()), E_UNEXPECTED);

    // Once the library unloads, every session operation reports it, ahead of argument checks.
    auto s2 = open(lib);
    ASSERT_TRUE(s2);
    ASSERT_EQ(lib->Unload(), S_OK);
    flag = 7;
    EXPECT_EQ(s2->get_Valid(&flag), S_OK);
    EXPECT_EQ(flag, 7) << "Valid writes nothing without an initialized library";
    EXPECT_EQ(s2->get_Logged(&flag), kNotInitialized);
    EXPECT_EQ(s2->Login(bstr("").get(), VARIANT_FALSE), kNotInitialized);
    EXPECT_EQ(s2->Logout(), kNotInitialized);
    EXPECT_EQ(s2->SetPIN(nullptr, nullptr), kNotInitialized);
    EXPECT_EQ(s2->InitPIN(nullptr), kNotInitialized);
    find(s2.get(), VARIANT{}, &hr);
    EXPECT_EQ(hr, kNotInitialized);
    EXPECT_EQ(s2->ImportP12File(nullptr, nullptr, nullptr, nullptr), kNotInitialized);
}

TEST_F(SessionFault, SearchArgumentsAndTemplates) {
    Lib lib;
    auto s = open(lib);
    ASSERT_TRUE(s);
    const size_t visible = 3;  // public data, certificate, public key
    HRESULT hr = E_FAIL;
    EXPECT_EQ(find(s.get(), nullArg(), &hr).size(), visible);
    EXPECT_EQ(hr, S_OK);

    // Refused before any module call: Empty, even type numbers that are no array.
    fault_.resetCounts();
    VARIANT shortInt;
    VariantInit(&shortInt);
    shortInt.vt = VT_I2;
    vantor::ole::Variant text;
    text->vt = VT_BSTR;
    text->bstrVal = SysAllocString(u"x");
    for (const VARIANT& bad : {VARIANT{}, shortInt, *text.get()}) {
        find(s.get(), bad, &hr);
        EXPECT_EQ(hr, E_INVALIDARG) << bad.vt;
    }
    EXPECT_EQ(fault_.calls("C_FindObjectsInit"), 0u);

    // An empty array, and Null behind a reference, search everything.
    vantor::ole::Variant empty;
    attributeList(empty, {});
    EXPECT_EQ(find(s.get(), *empty.get(), &hr).size(), visible);
    VARIANT null = nullArg();
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_VARIANT;
    byRef.pvarVal = &null;
    EXPECT_EQ(find(s.get(), byRef, &hr).size(), visible);
    byRef.pvarVal = nullptr;  // a reference to nothing is refused, not followed
    find(s.get(), byRef, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);

    // Two attributes (class certificate, the key pair's ID) find only the certificate; the
    // same template by reference, and as a VT_UNKNOWN array, finds the same.
    auto cls = attribute(CKA_CLASS, ulongBytes(CKO_CERTIFICATE));
    auto id = attribute(CKA_ID, {0x01, 0xA5});
    vantor::ole::Variant pair;
    attributeList(pair, {&cls, &id});
    auto certs = find(s.get(), *pair.get(), &hr);
    ASSERT_EQ(certs.size(), 1u);
    hr = E_FAIL;
    std::vector<Read> label;
    vantor::ole::Variant wanted;
    typeList(wanted, {CKA_LABEL});
    label = getAttributes(certs[0].get(), *wanted.get(), false, &hr);
    ASSERT_EQ(label.size(), 1u);
    EXPECT_EQ(asText(label[0].raw), "Fault Certificate");

    SAFEARRAY* held = pair->parray;
    VARIANT arrayRef;
    VariantInit(&arrayRef);
    arrayRef.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
    arrayRef.pparray = &held;
    EXPECT_EQ(find(s.get(), arrayRef, &hr).size(), 1u);

    vantor::ole::Variant unknowns;
    SAFEARRAY* u = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    static_cast<IUnknown**>(u->pvData)[0] = static_cast<IP11Attribute*>(cls.get());
    static_cast<IUnknown**>(u->pvData)[1] = static_cast<IP11Attribute*>(id.get());
    cls->AddRef();
    id->AddRef();
    unknowns->vt = VT_ARRAY | VT_UNKNOWN;
    unknowns->parray = u;
    EXPECT_EQ(find(s.get(), *unknowns.get(), &hr).size(), 1u);
    // Certificate and public key share the ID; the private key stays hidden until login.
    vantor::ole::Variant idOnly;
    attributeList(idOnly, {&id});
    EXPECT_EQ(find(s.get(), *idOnly.get(), &hr).size(), 2u);

    // Elements that are no attribute object: a string, a null object, numbers.
    fault_.resetCounts();
    vantor::ole::Variant strings;
    SAFEARRAY* v = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    static_cast<VARIANT*>(v->pvData)[0].vt = VT_BSTR;
    static_cast<VARIANT*>(v->pvData)[0].bstrVal = SysAllocString(u"label");
    strings->vt = VT_ARRAY | VT_VARIANT;
    strings->parray = v;
    find(s.get(), *strings.get(), &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    vantor::ole::Variant nulls;
    SAFEARRAY* n = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    static_cast<VARIANT*>(n->pvData)[0].vt = VT_DISPATCH;
    nulls->vt = VT_ARRAY | VT_VARIANT;
    nulls->parray = n;
    find(s.get(), *nulls.get(), &hr);
    EXPECT_EQ(hr, E_POINTER);
    vantor::ole::Variant numbers;
    typeList(numbers, {CKA_LABEL});
    find(s.get(), *numbers.get(), &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(fault_.calls("C_FindObjectsInit"), 0u);

    // After login the private objects are found as well.
    ASSERT_EQ(s->Login(bstr("1234").get(), VARIANT_FALSE), S_OK);
    EXPECT_EQ(find(s.get(), nullArg(), &hr).size(), visible + 2);
}

TEST_F(SessionFault, SearchReturnsAtMost256AndAlwaysFinishes) {
    Lib lib;
    auto s = open(lib, "delay_us=0;objects=300");
    ASSERT_TRUE(s);
    fault_.resetCounts();
    HRESULT hr = E_FAIL;
    auto all = find(s.get(), nullArg(), &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(all.size(), CP11Session::kMaxFound);
    EXPECT_EQ(fault_.calls("C_FindObjects"), 1u);
    EXPECT_EQ(fault_.calls("C_FindObjectsFinal"), 1u);
    // The found objects are distinct objects of the token.
    VARIANT_BOOL valid = VARIANT_FALSE;
    EXPECT_EQ(all.back()->get_Valid(&valid), S_OK);
    EXPECT_EQ(valid, VARIANT_TRUE);
    all.clear();

    // A failing search still ends the operation, so the next search can start.
    configure("delay_us=0;objects=300;fail=C_FindObjects:0x30@1");
    ASSERT_EQ(lib->Load(bstr(fault_.path()).get()), S_OK);
    s = openSession(lib, kSlot);
    ASSERT_TRUE(s);
    find(s.get(), nullArg(), &hr);
    EXPECT_EQ(hr, static_cast<HRESULT>(0x80400030u));
    EXPECT_EQ(fault_.calls("C_FindObjectsFinal"), 1u);
    EXPECT_EQ(find(s.get(), nullArg(), &hr).size(), CP11Session::kMaxFound);
    EXPECT_EQ(hr, S_OK);

    // A refused template is the module's answer, and nothing is left to finish.
    configure("delay_us=0;fail=C_FindObjectsInit:0xD1");
    ASSERT_EQ(lib->Load(bstr(fault_.path()).get()), S_OK);
    s = openSession(lib, kSlot);
    ASSERT_TRUE(s);
    find(s.get(), nullArg(), &hr);
    EXPECT_EQ(hr, static_cast<HRESULT>(0x804000D1u));
    EXPECT_EQ(fault_.calls("C_FindObjects") + fault_.calls("C_FindObjectsFinal"), 0u);
}

TEST_F(SessionFault, AttributeReadsMakeExactlyTheAnnouncedCalls) {
    Lib lib;
    auto s = open(lib);
    ASSERT_TRUE(s);
    auto data = byLabel(s.get(), "Fault Data");  // has no CKA_ID
    ASSERT_TRUE(data);
    vantor::ole::Variant labelAndId;
    typeList(labelAndId, {CKA_LABEL, CKA_ID});
    HRESULT hr = E_FAIL;

    fault_.resetCounts();
    auto reads = getAttributes(data.get(), *labelAndId.get(), false, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(fault_.calls("C_GetAttributeValue"), 2u);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].type, CKA_LABEL);
    EXPECT_TRUE(reads[0].valid);
    EXPECT_EQ(asText(reads[0].raw), "Fault Data");
    EXPECT_EQ(reads[1].type, CKA_ID);
    EXPECT_FALSE(reads[1].valid);
    EXPECT_TRUE(reads[1].raw.empty());

    // With stop: two calls per attribute until the first one the object lacks.
    fault_.resetCounts();
    getAttributes(data.get(), *labelAndId.get(), true, &hr);
    EXPECT_EQ(hr, kTypeInvalid);
    EXPECT_EQ(fault_.calls("C_GetAttributeValue"), 3u);
    vantor::ole::Variant three;
    typeList(three, {CKA_LABEL, CKA_APPLICATION, CKA_VALUE});
    fault_.resetCounts();
    reads = getAttributes(data.get(), *three.get(), true, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(fault_.calls("C_GetAttributeValue"), 6u);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(asText(reads[2].raw), "public data");

    // The sensitive exponent fails the whole read, with or without stop.
    ASSERT_EQ(s->Login(bstr("1234").get(), VARIANT_FALSE), S_OK);
    auto cls = attribute(CKA_CLASS, ulongBytes(CKO_PRIVATE_KEY));
    vantor::ole::Variant keyTemplate;
    attributeList(keyTemplate, {&cls});
    auto keys = find(s.get(), *keyTemplate.get(), &hr);
    ASSERT_EQ(keys.size(), 1u);
    vantor::ole::Variant secret;
    typeList(secret, {CKA_LABEL, CKA_PRIVATE_EXPONENT, CKA_ID});
    for (bool stop : {false, true}) {
        getAttributes(keys[0].get(), *secret.get(), stop, &hr);
        EXPECT_EQ(hr, kSensitive) << stop;
    }

    // A scalar, an empty list, Empty: refused without a module call.
    fault_.resetCounts();
    VARIANT scalar;
    VariantInit(&scalar);
    scalar.vt = VT_I4;
    scalar.lVal = CKA_LABEL;
    vantor::ole::Variant none;
    typeList(none, {});
    for (const VARIANT& bad : {scalar, *none.get(), VARIANT{}}) {
        getAttributes(data.get(), bad, false, &hr);
        EXPECT_EQ(hr, E_INVALIDARG);
    }
    EXPECT_EQ(fault_.calls("C_GetAttributeValue"), 0u);
    EXPECT_EQ(data->GetAttributeValue(*labelAndId.get(), VARIANT_FALSE, nullptr), E_POINTER);
}

TEST_F(SessionFault, TypedValuesOfTheTokenAndAttributesThatOutliveTheirObject) {
    Lib lib;
    auto s = open(lib);
    ASSERT_TRUE(s);
    auto cert = byLabel(s.get(), "Fault Certificate");
    ASSERT_TRUE(cert);
    vantor::ole::Variant wanted;
    typeList(wanted, {CKA_CLASS, CKA_ID, CKA_END_DATE, CKA_TRUSTED});
    vantor::ole::Variant out;
    ASSERT_EQ(cert->GetAttributeValue(*wanted.get(), VARIANT_FALSE, out.get()), S_OK);
    auto attrs = items<IP11Attribute>(*out.get(), IID_IP11Attribute);
    ASSERT_EQ(attrs.size(), 4u);
    // Nothing but the attributes holds the chain now: they keep object, session and library.
    cert.reset();
    s.reset();

    vantor::ole::Variant v;
    ASSERT_EQ(attrs[0]->get_Value(v.get()), S_OK);
    EXPECT_EQ(v->vt, VT_I4);
    EXPECT_EQ(v->lVal, static_cast<LONG>(CKO_CERTIFICATE));
    vantor::ole::Bstr text;
    ASSERT_EQ(attrs[1]->get_ValueStr(text.out()), S_OK);
    EXPECT_EQ(vantor::ole::toUtf8(text.get()), "01A5");
    VariantClear(v.get());
    ASSERT_EQ(attrs[2]->get_Value(v.get()), S_OK);
    ASSERT_EQ(v->vt, VT_DATE);
    SYSTEMTIME when{};
    when.wYear = 2005;
    when.wMonth = 12;
    when.wDay = 31;
    DOUBLE expected = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&when, &expected));
    EXPECT_EQ(v->date, expected);
    VariantClear(v.get());
    ASSERT_EQ(attrs[3]->get_Value(v.get()), S_OK);
    EXPECT_EQ(v->vt, VT_BOOL);
    EXPECT_EQ(v->boolVal, VARIANT_FALSE);
}

TEST_F(SessionFault, AttributeWrites) {
    Lib lib;
    auto s = open(lib);
    ASSERT_TRUE(s);
    auto data = byLabel(s.get(), "Fault Data");
    ASSERT_TRUE(data);
    auto label = attribute(CKA_LABEL, textBytes("Renamed"));
    auto value = attribute(CKA_VALUE, {0x00, 0xFF, 0x10});
    vantor::ole::Variant list;
    attributeList(list, {&label, &value});
    fault_.resetCounts();
    EXPECT_EQ(data->SetAttributeValue(*list.get()), S_OK);
    EXPECT_EQ(fault_.calls("C_SetAttributeValue"), 1u);
    vantor::ole::Variant wanted;
    typeList(wanted, {CKA_LABEL, CKA_VALUE});
    HRESULT hr = E_FAIL;
    auto reads = getAttributes(data.get(), *wanted.get(), false, &hr);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(asText(reads[0].raw), "Renamed");
    EXPECT_EQ(reads[1].raw, (Bytes{0x00, 0xFF, 0x10}));

    // The module's refusal comes back folded; an empty list never reaches it.
    auto cls = attribute(CKA_CLASS, ulongBytes(CKO_CERTIFICATE));
    attributeList(list, {&cls});
    EXPECT_EQ(data->SetAttributeValue(*list.get()), kReadOnly);
    attributeList(list, {});
    fault_.resetCounts();
    EXPECT_EQ(data->SetAttributeValue(*list.get()), E_INVALIDARG);
    EXPECT_EQ(data->SetAttributeValue(nullArg()), E_INVALIDARG);
    EXPECT_EQ(fault_.calls("C_SetAttributeValue"), 0u);
    // Signing is the module's to refuse (this one signs nothing).
    vantor::ole::Variant sig;
    VARIANT text;
    VariantInit(&text);
    EXPECT_EQ(data->Sign(text, sig.get()), E_INVALIDARG);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"abc");
    EXPECT_EQ(data->Sign(text, sig.get()), static_cast<HRESULT>(0x80400054u));
    VariantClear(&text);
}

// C_SignInit and C_Sign as a module with a faulty length report answers them: the length query
// announces `announced` bytes, the signing call writes at most the room it was given and reports
// `written`.
struct LyingSigner {
    static inline CK_ULONG announced = 0;
    static inline CK_ULONG written = 0;
    static CK_RV SignInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return CKR_OK; }
    static CK_RV Sign(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out,
                      CK_ULONG_PTR length) {
        if (out != nullptr) {
            std::memset(out, 0x5A, std::min(*length, written));
        }
        *length = out == nullptr ? announced : written;
        return CKR_OK;
    }
};

TEST_F(SessionFault, SignRefusesLengthsTheModuleCannotKeep) {
    Lib lib;
    auto s = open(lib);
    ASSERT_TRUE(s);
    auto data = byLabel(s.get(), "Fault Data");
    ASSERT_TRUE(data);
    // The fault module signs nothing: its list is given a signer for this test only.
    CK_FUNCTION_LIST_PTR list = fault_.functions();
    const CK_FUNCTION_LIST saved = *list;
    list->C_SignInit = &LyingSigner::SignInit;
    list->C_Sign = &LyingSigner::Sign;
    struct Restore {
        CK_FUNCTION_LIST_PTR list;
        const CK_FUNCTION_LIST& saved;
        ~Restore() { *list = saved; }
    } restore{list, saved};

    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"digest");
    vantor::ole::Variant sig;
    // The unavailable mark as a signature length: refused, never allocated or thrown.
    LyingSigner::announced = CK_UNAVAILABLE_INFORMATION;
    EXPECT_EQ(data->Sign(text, sig.get()), E_OUTOFMEMORY);
    EXPECT_EQ(sig->vt, VT_EMPTY);
    // More bytes than announced: the answer cannot be trusted.
    LyingSigner::announced = 4;
    LyingSigner::written = 5;
    EXPECT_EQ(data->Sign(text, sig.get()), E_UNEXPECTED);
    // Fewer bytes than announced: exactly those come back.
    LyingSigner::written = 3;
    ASSERT_EQ(data->Sign(text, sig.get()), S_OK);
    ASSERT_EQ(sig->vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(sig->parray->rgsabound[0].cElements, 3u);
    EXPECT_EQ(sig->parray->rgsabound[0].lLbound, 0);
    VariantClear(&text);
}

// Objects of one session used from several threads while another thread closes the session:
// every call either works or fails with a clean code, the module never sees two calls at once,
// and nothing is left behind.
TEST_F(SessionFault, ObjectsOnSeveralThreadsWhileTheSessionCloses) {
    Lib lib;
    auto s = open(lib, "delay_us=50;objects=6");
    ASSERT_TRUE(s);
    HRESULT hr = E_FAIL;
    auto found = find(s.get(), nullArg(), &hr);
    ASSERT_GE(found.size(), 8u);
    constexpr int kThreads = 4;
    std::barrier start(kThreads + 1);
    std::atomic<int> unexpected{0}, failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            IP11Object* object = found[static_cast<size_t>(t)].get();
            vantor::ole::Variant wanted;
            typeList(wanted, {CKA_LABEL, CKA_CLASS});
            // Attributes read before the race lock their object's chain from below: an
            // attribute first, then object, session, library, against the frames above them.
            vantor::ole::Variant kept;
            EXPECT_EQ(object->GetAttributeValue(*wanted.get(), VARIANT_FALSE, kept.get()), S_OK);
            auto attrs = items<IP11Attribute>(*kept.get(), IID_IP11Attribute);
            start.arrive_and_wait();
            for (int i = 0; i < 60; ++i) {
                for (auto& a : attrs) {
                    vantor::ole::Variant value;
                    if (a->get_Value(value.get()) != S_OK) {
                        ++unexpected;
                    }
                }
                HRESULT r = E_FAIL;
                auto reads = getAttributes(object, *wanted.get(), i % 2 == 0, &r);
                VARIANT_BOOL valid = VARIANT_FALSE;
                const HRESULT v = object->get_Valid(&valid);
                if (v != S_OK || (r != S_OK && r != E_UNEXPECTED)) {
                    ++unexpected;
                }
                if (r == E_UNEXPECTED) {
                    ++failures;
                    EXPECT_EQ(valid, VARIANT_FALSE);
                }
                VARIANT_BOOL logged = VARIANT_FALSE;
                const HRESULT l = s->get_Logged(&logged);
                if (l != S_OK && l != kSessionInvalid) {
                    ++unexpected;
                }
            }
        });
    }
    start.arrive_and_wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(s->Close(), S_OK);
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(failures.load(), 0) << "the close came after every call";
    EXPECT_EQ(fault_.overlaps(), 0u);
}

}  // namespace
}  // namespace pavlox::testing
