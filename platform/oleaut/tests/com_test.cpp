// COM runtime: GUID text, ProgID resolution through the registry, activation failures and the
// aggregated free-threaded marshaler.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "win/objbase.h"
#include "win/oleauto.h"
#include "win/winreg.h"

namespace {

constexpr CLSID kClsid = {
    0x42F60E08, 0xF3B4, 0x414C, {0x95, 0xF7, 0x14, 0x35, 0x62, 0x0C, 0x69, 0x04}};

class ComRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/vantor-com-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        setenv(VANTOR_REGISTRY_DIR_ENV, dir_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv(VANTOR_REGISTRY_DIR_ENV);
        std::filesystem::remove_all(dir_);
    }
    static void setDefault(const char* path, const char* value) {
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &k, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                 static_cast<DWORD>(strlen(value) + 1)),
                  ERROR_SUCCESS);
        RegCloseKey(k);
    }
    std::string dir_;
};

TEST(Guid, TextRoundTripAndMalformedText) {
    OLECHAR buf[39];
    ASSERT_EQ(StringFromGUID2(kClsid, buf, 39), 39);
    EXPECT_EQ(std::u16string(buf), u"{42F60E08-F3B4-414C-95F7-1435620C6904}");
    CLSID back{};
    ASSERT_EQ(CLSIDFromString(buf, &back), S_OK);
    EXPECT_TRUE(IsEqualCLSID(back, kClsid));
    ASSERT_EQ(CLSIDFromString(u"{42f60e08-f3b4-414c-95f7-1435620c6904}", &back), S_OK)
        << "hex digits in either case";
    EXPECT_TRUE(IsEqualCLSID(back, kClsid));
    EXPECT_EQ(StringFromGUID2(kClsid, buf, 38), 0) << "a buffer one short is refused";
    for (const char16_t* bad :
         {u"{42F60E08-F3B4-414C-95F7-1435620C690}", u"{42F60E08-F3B4-414C-95F7-1435620C69041}",
          u"{42F60E08+F3B4-414C-95F7-1435620C6904}", u"{42F60E08-F3B4-414C-95F7-1435620C690G}"}) {
        IID iid{};
        EXPECT_EQ(IIDFromString(bad, &iid), E_INVALIDARG);
    }
}

TEST_F(ComRegistry, ProgIdFollowsCurVerAndStopsOnLoops) {
    setDefault("Pavlox.Thing.1\\CLSID", "{42F60E08-F3B4-414C-95F7-1435620C6904}");
    setDefault("Pavlox.Thing\\CurVer", "Pavlox.Thing.1");
    CLSID c{};
    ASSERT_EQ(CLSIDFromProgID(u"Pavlox.Thing", &c), S_OK);
    EXPECT_TRUE(IsEqualCLSID(c, kClsid));
    ASSERT_EQ(CLSIDFromProgID(u"pavlox.thing.1", &c), S_OK) << "ProgIDs are case-insensitive";
    EXPECT_EQ(CLSIDFromProgID(u"Pavlox.Missing", &c), CO_E_CLASSSTRING);
    setDefault("Loop.A\\CurVer", "Loop.B");
    setDefault("Loop.B\\CurVer", "Loop.A");
    EXPECT_EQ(CLSIDFromProgID(u"Loop.A", &c), CO_E_CLASSSTRING) << "a CurVer loop ends";
    setDefault("Broken\\CLSID", "not a guid");
    EXPECT_EQ(CLSIDFromProgID(u"Broken", &c), CO_E_CLASSSTRING);
    ASSERT_EQ(CLSIDFromString(u"Pavlox.Thing", &c), S_OK) << "a ProgID is accepted as class text";

    setDefault("CLSID\\{42F60E08-F3B4-414C-95F7-1435620C6904}\\ProgID", "Pavlox.Thing.1");
    LPOLESTR progId = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(kClsid, &progId), S_OK);
    EXPECT_EQ(std::u16string(progId), u"Pavlox.Thing.1");
    CoTaskMemFree(progId);
}

TEST_F(ComRegistry, ActivationFailuresAreReported) {
    void* obj = nullptr;
    EXPECT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &obj),
              REGDB_E_CLASSNOTREG);
    setDefault("CLSID\\{42F60E08-F3B4-414C-95F7-1435620C6904}\\InprocServer32",
               "/nonexistent/pavlox.so");
    EXPECT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &obj),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &obj),
              REGDB_E_CLASSNOTREG)
        << "only in-process servers exist";
    IUnknown* outer = reinterpret_cast<IUnknown*>(&obj);
    EXPECT_EQ(CoCreateInstance(kClsid, outer, CLSCTX_INPROC_SERVER, IID_IDispatch, &obj),
              CLASS_E_NOAGGREGATION)
        << "an aggregated object is asked for IUnknown only";
    EXPECT_EQ(obj, nullptr);
}

// An outer object that aggregates the marshaler and counts its own references.
struct Outer final : IUnknown {
    std::atomic<ULONG> refs{1};
    IUnknown* inner = nullptr;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown) {
            *out = this;
            AddRef();
            return S_OK;
        }
        if (riid == IID_IMarshal) {
            return inner->QueryInterface(riid, out);
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

TEST(FreeThreadedMarshaler, AggregatesWithTheOuterIdentity) {
    Outer outer;
    ASSERT_EQ(CoCreateFreeThreadedMarshaler(&outer, &outer.inner), S_OK);
    IMarshal* marshal = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal)), S_OK);
    EXPECT_EQ(outer.refs, 2u) << "the marshaler counts on the outer object";
    IUnknown* identity = nullptr;
    ASSERT_EQ(marshal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    identity->Release();
    CLSID c{};
    EXPECT_EQ(marshal->GetUnmarshalClass(IID_IUnknown, nullptr, 0, nullptr, 0, &c), E_NOTIMPL);
    marshal->Release();
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(outer.inner->Release(), 0u);
}

TEST(ComInit, CountedPerThread) {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    CoUninitialize();
}

}  // namespace
