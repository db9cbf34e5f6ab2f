// The card model's rules without a card: typing over its whole table, names and capabilities,
// result texts, the library collection and its reload, and a missing card library.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "atr_table.h"
#include "card_type.h"
#include "cardolo_library.h"
#include "certificates.h"
#include "env_guard.h"
#include "pkcs11_libs.h"
#include "reader_watch.h"
#include "results.h"
#include "runtime_error.h"
#include "win/oleauto.h"

namespace tesmira {
namespace {

// Card type for each registry type (rows) and file-system type (columns 1, 2, 3, 4, 5, 32 and
// the unknown 0, 6, 33).
struct TypeRow {
    std::int32_t registry;
    std::int32_t expected[9];
};
constexpr std::int32_t kFsTypes[9] = {1, 2, 3, 4, 5, 32, 0, 6, 33};

TEST(DecideCardType, FollowsItsTableForEveryRegistryAndFileSystemType) {
    const TypeRow rows[] = {
        {1, {1, 2, 3, 8, 5, 32, 0, 0, 0}},  {3, {1, 2, 3, 8, 5, 32, 0, 0, 0}},
        {2, {0, 0, 0, 0, 5, 0, 0, 0, 0}},   {4, {0, 0, 0, 8, 5, 0, 0, 0, 0}},
        {128, {0, 0, 0, 0, 9, 0, 0, 0, 0}}, {129, {0, 0, 0, 0, 10, 0, 0, 0, 0}},
        {0, {0, 0, 0, 0, 0, 0, 0, 0, 0}},   {5, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {32, {0, 0, 0, 0, 0, 0, 0, 0, 0}},  {-1, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {130, {0, 0, 0, 0, 0, 0, 0, 0, 0}}, {32767, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const TypeRow& row : rows) {
        for (int c = 0; c < 9; ++c) {
            EXPECT_EQ(DecideCardType(row.registry, kFsTypes[c]), row.expected[c])
                << "R=" << row.registry << " F=" << kFsTypes[c];
        }
    }
}

TEST(CardTypes, NamesAndCapabilitiesByType) {
    struct Row {
        std::int32_t type;
        const char* name;
        Capabilities caps;
    };
    const Capabilities all{true, true, true, true, true};
    const Capabilities noPuk{true, false, true, true, true};
    const Capabilities pinOnly{true, false, false, true, true};
    const Row rows[] = {
        {0, "Vantor Kryptelle", pinOnly},           {1, "Vantor CNS", all},
        {2, "Vantor CNS/Kryptelle EAL4+", all},     {3, "Corvo34v2 Kryptelle EAL4+", all},
        {4, "Vantor Kryptelle", pinOnly},           {5, "Vantor Kryptelle-32", noPuk},
        {8, "Vantor Kryptelle (FullP11-FFS)", all}, {9, "Vantor Kryptelle-16", pinOnly},
        {10, "Vantor Kryptelle E4H", noPuk},        {32, "Vantor Kryptelle (Corvakey2)", all},
        {33, "Vantor Kryptelle", pinOnly},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CardTypeName(row.type), row.name) << row.type;
        EXPECT_EQ(CapabilitiesFor(row.type), row.caps) << row.type;
    }
}

TEST(ErrorText, ByResultAndOperation) {
    EnvGuard env({{"LANG", "en_US.UTF-8"}});
    struct Row {
        std::int32_t result;
        int operation;
        const char* text;
    };
    const Row rows[] = {
        {static_cast<std::int32_t>(0x80400054u), OP_CHANGE_PIN,
         "The requested function is not supported"},
        {-22, OP_CHANGE_PIN, "Old PIN is incorrect"},
        {-22, OP_UNBLOCK_PIN, "Wrong PUK"},
        {-22, OP_CHANGE_PUK, "Old PUK is incorrect"},
        {-22, OP_IMPORT_P12, "Wrong PIN"},
        {static_cast<std::int32_t>(0x804000A4u), OP_CHANGE_PUK, "PUK locked"},
        {static_cast<std::int32_t>(0x804000A4u), OP_CHANGE_PIN, "PIN locked"},
        {-30, OP_CHANGE_PIN, ""},
        {-40, OP_CHANGE_PIN, "An error occurred: #-40 (Cardolo)"},
        {-257, OP_CHANGE_PIN, "An error occurred: #-257"},
        {static_cast<std::int32_t>(0x804001A1u), OP_CHANGE_PIN,
         "An error occurred: #-2143288927 (PKCS#11)"},
        {static_cast<std::int32_t>(0x804001A2u), OP_CHANGE_PIN, "An error occurred: #-2143288926"},
        {0x6A82, OP_CHANGE_PIN, "An error occurred: #27266"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ErrorText(row.result, row.operation), row.text) << row.result;
    }
}

// A Pkcs11Lib stand-in that loads only the names it is given and records the calls.
class FakeLib final : public pavlox::IPkcs11Lib {
  public:
    FakeLib(std::vector<std::string> loadable, std::vector<std::string>* log)
        : loadable_(std::move(loadable)), log_(log) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Load(BSTR name) override {
        std::string text;
        for (UINT i = 0; i < SysStringLen(name); ++i) {
            text += static_cast<char>(name[i]);
        }
        log_->push_back("Load " + text);
        for (const std::string& ok : loadable_) {
            if (ok == text) {
                return S_OK;
            }
        }
        return E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE Unload() override {
        log_->push_back("Unload");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Initialize() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Initialized(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_SlotList(VARIANT, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OpenSession(LONG, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InitToken(LONG, BSTR, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_TokenValid(LONG, VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_TokenPresent(LONG, VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_TokenInfo(LONG, VARIANT*) override { return E_NOTIMPL; }

  private:
    std::vector<std::string> loadable_;
    std::vector<std::string>* log_;
    ULONG refs_ = 1;
};

AtrTable TableOf(std::vector<std::string> libraries) {
    AtrTable table;
    char atr[] = "3B01";
    for (const std::string& lib : libraries) {
        atrItem item;
        item.atr = atr;
        item.atrMask = "FFFF";
        item.p11 = lib;
        item.CardType = 1;
        EXPECT_TRUE(table.add(item));
        ++atr[3];
    }
    return table;
}

struct ReloadCase {
    std::vector<std::string> table;
    std::vector<std::string> loadable;
    std::vector<std::string> keys;   // of the collection afterwards
    std::vector<std::string> calls;  // Load calls, in order
};

class LoadPkcs11LibrariesCases : public ::testing::TestWithParam<ReloadCase> {};

TEST_P(LoadPkcs11LibrariesCases, LoadsTheDefaultAndEachTableLibraryOnce) {
    const ReloadCase& c = GetParam();
    std::vector<std::string> log;
    Pkcs11Libs libs;
    const AtrTable table = TableOf(c.table);
    LoadPkcs11Libraries(libs, table, [&] { return Pkcs11Lib(new FakeLib(c.loadable, &log)); });
    std::vector<std::string> keys;
    for (const auto& [key, lib] : libs.items()) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, c.keys);
    EXPECT_EQ(log, c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadPkcs11LibrariesCases,
    ::testing::Values(
        // The default and the table's library; a name already held (any letter case) is not
        // loaded twice.
        ReloadCase{{"a.so", "A.SO", "b.so"},
                   {"qrpkisc.dll", "a.so", "b.so"},
                   {"qrpkisc.dll", "a.so", "b.so"},
                   {"Load qrpkisc.dll", "Load a.so", "Load b.so"}},
        // A library that fails to load is left out and tried again for its next entry.
        ReloadCase{{"bad.so", "bad.so", "b.so"},
                   {"b.so"},
                   {"b.so"},
                   {"Load qrpkisc.dll", "Load bad.so", "Load bad.so", "Load b.so"}},
        // Nothing loads: the fall-backs in order, the one that loads kept as the default.
        ReloadCase{{"bad.so"},
                   {"tvxpkilc.dll"},
                   {"qrpkisc.dll"},
                   {"Load qrpkisc.dll", "Load bad.so", "Load qrpkisc.dll", "Load corvakey2.dll",
                    "Load tvxpkilc.dll"}},
        ReloadCase{{},
                   {},
                   {},
                   {"Load qrpkisc.dll", "Load qrpkisc.dll", "Load corvakey2.dll",
                    "Load tvxpkilc.dll", "Load tvxpki32.dll"}}));

TEST(LoadPkcs11Libraries, UnloadsWhatItHeldBeforeLoadingAgain) {
    std::vector<std::string> log;
    Pkcs11Libs libs;
    const AtrTable table = TableOf({"a.so"});
    auto create = [&] { return Pkcs11Lib(new FakeLib({"qrpkisc.dll", "a.so"}, &log)); };
    LoadPkcs11Libraries(libs, table, create);
    log.clear();
    LoadPkcs11Libraries(libs, table, create);
    EXPECT_EQ(log, (std::vector<std::string>{"Unload", "Unload", "Load qrpkisc.dll", "Load a.so"}));
    EXPECT_EQ(libs.count(), 2u);
}

TEST(LoadPkcs11Libraries, AnUnregisteredServerLeavesTheCollectionEmptyWithoutRaising) {
    // Creation failing (the automation server not registered) counts as a library that did not
    // load: the reload completes, and the tick that ran it goes on to scan the readers.
    Pkcs11Libs libs;
    const AtrTable table = TableOf({"a.so"});
    int attempts = 0;
    EXPECT_NO_THROW(LoadPkcs11Libraries(libs, table, [&]() -> Pkcs11Lib {
        ++attempts;
        throw RuntimeError(kErrCantCreateObject, "ActiveX component can't create object");
    }));
    EXPECT_TRUE(libs.empty());
    EXPECT_EQ(attempts, 3);  // the default, the table's library, the fall-back object
}

TEST(Pkcs11Libs, LooksUpKeysWithoutLetterCaseAndRaisesError5ForAMissingOne) {
    std::vector<std::string> log;
    Pkcs11Libs libs;
    libs.add("qrpkisc.dll", Pkcs11Lib(new FakeLib({}, &log)));
    EXPECT_TRUE(libs.contains("QRPKISC.DLL"));
    EXPECT_NE(libs.item("QrPkiSc.dll").get(), nullptr);
    try {
        libs.item("other.dll");
        FAIL() << "a missing key raises";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number(), kErrInvalidCall);
    }
}

class RecordingView final : public CardView {
  public:
    void ShowNoCard() override { calls.push_back("ShowNoCard"); }
    void ShowCard() override { calls.push_back("ShowCard"); }
    void SetWaitCursor(bool) override { calls.push_back("cursor"); }
    bool AskInitializePin() override {
        calls.push_back("ask");
        return false;
    }
    std::vector<std::string> calls;
};

TEST(ReaderWatch, AMissingCardLibraryEndsEveryTickWithNothingChanged) {
    CardoloLibrary missing("tesmira-no-such-card-library.dll");
    AtrTable table;
    RecordingView view;
    ReaderWatch watch(missing, table, view, [] { return Pkcs11Lib(); });
    watch.Tick();
    watch.Tick();
    EXPECT_TRUE(view.calls.empty());
    EXPECT_EQ(watch.libraryReloads(), 0);
    try {
        std::uint32_t length = 0;
        missing.GetReadersList(nullptr, &length);
        FAIL() << "the binding raises";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number(), kErrFileNotFound);
    }
}

TEST(Certificates, KeyedAndUnkeyedEntriesKeepTheirOrder) {
    Certificates certs;
    SmartCardCertificate* first = &certs.Add("");
    SmartCardCertificate* keyed = &certs.Add("k");
    SmartCardCertificate* last = &certs.Add("");
    ASSERT_EQ(certs.Count(), 3u);
    EXPECT_EQ(&certs.Item(1), first);
    EXPECT_EQ(&certs.Item("k"), keyed);
    EXPECT_EQ(&certs.Item(3), last);
    EXPECT_FALSE(certs.Item(1).Certificate.Imported()) << "a new entry holds no certificate";

    const auto raises = [](const std::function<void()>& call) {
        try {
            call();
        } catch (const RuntimeError& e) {
            return e.number();
        }
        return 0;
    };
    EXPECT_EQ(raises([&] { certs.Add("k"); }), 457) << "a key is used once";
    EXPECT_EQ(raises([&] { certs.Item(0); }), kErrInvalidCall);
    EXPECT_EQ(raises([&] { certs.Item(4); }), kErrInvalidCall);
    EXPECT_EQ(raises([&] { certs.Item(""); }), kErrInvalidCall) << "unkeyed entries have no key";
    EXPECT_EQ(raises([&] { certs.Remove("missing"); }), kErrInvalidCall);
    EXPECT_EQ(certs.Count(), 3u) << "failed calls change nothing";

    certs.Remove("k");
    EXPECT_EQ(&certs.Item(2), last);
    certs.Remove(1);
    ASSERT_EQ(certs.Count(), 1u);
    EXPECT_EQ(&certs.Item(1), last);
    certs.Clear();
    EXPECT_EQ(certs.Count(), 0u);
    EXPECT_EQ(certs.begin(), certs.end());
}

}  // namespace
}  // namespace tesmira
