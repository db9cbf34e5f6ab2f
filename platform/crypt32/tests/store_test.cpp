// Stores: add dispositions, find, delete, open flags and handle checks, on memory and system
// stores alike.
#include <cstring>

#include "test_pki.h"
#include "win/errhandlingapi.h"
#include "win/winerror.h"

using namespace testpki;

namespace {

enum class Kind { Memory, User, Machine };

HCERTSTORE openKind(Kind kind, const char16_t* name = u"MY") {
    switch (kind) {
        case Kind::Memory:
            return CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        case Kind::User:
            return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING, 0,
                                 CERT_SYSTEM_STORE_CURRENT_USER, name);
        case Kind::Machine:
            return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING, 0,
                                 CERT_SYSTEM_STORE_LOCAL_MACHINE, name);
    }
    return nullptr;
}

class StoreTest : public PrivateStores, public ::testing::WithParamInterface<Kind> {};

// An older and a newer issue of the same certificate (same issuer and serial), and another.
struct Trio {
    Issued older;
    Issued newer;
    Issued other;
};
const Trio& trio() {
    static const Trio t = [] {
        Trio r;
        Spec s{"/C=IT/O=Vantor Test/CN=Renewed", {0x31}};
        s.notBeforeOffset = -7200;
        r.older = make(s, &hierarchy().intermediate);
        s.notBeforeOffset = -60;
        r.newer = make(s, &hierarchy().intermediate);
        r.other = make(Spec{"/C=IT/CN=Other", {0x32}}, &hierarchy().intermediate);
        return r;
    }();
    return t;
}

struct DispositionCase {
    const char* name;
    DWORD disposition;
    bool addNewer;  // add the newer issue (else the very same certificate again)
    bool ok;
    HRESULT error;
    int countAfter;
    const char* friendlyAfter;  // friendly name of the entry handed back / left in the store
    bool newerStored;           // which issue the store holds afterwards
};

// Stored: the older issue named "stored". Added: a context named "added".
const DispositionCase kDispositions[] = {
    {"new_same", CERT_STORE_ADD_NEW, false, false, CRYPT_E_EXISTS, 1, "stored", false},
    {"newer_same", CERT_STORE_ADD_NEWER, false, false, CRYPT_E_EXISTS, 1, "stored", false},
    {"newer_newer", CERT_STORE_ADD_NEWER, true, true, 0, 1, "added", true},
    {"newer_inherit", CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES, true, true, 0, 1, "added", true},
    {"use_existing", CERT_STORE_ADD_USE_EXISTING, false, true, 0, 1, "added", false},
    {"replace", CERT_STORE_ADD_REPLACE_EXISTING, true, true, 0, 1, "added", true},
    {"replace_inherit", CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, true, true, 0, 1,
     "added", true},
    {"always", CERT_STORE_ADD_ALWAYS, false, true, 0, 2, "added", false},
};

TEST_P(StoreTest, AddDispositions) {
    for (const auto& c : kDispositions) {
        SCOPED_TRACE(c.name);
        // A fresh store per case: delete what the last case left.
        {
            StorePtr clean(openKind(GetParam()));
            PCCERT_CONTEXT ctx = nullptr;
            while ((ctx = CertEnumCertificatesInStore(clean.get(), nullptr)) != nullptr) {
                ASSERT_TRUE(CertDeleteCertificateFromStore(ctx));
            }
        }
        StorePtr store(openKind(GetParam()));
        ASSERT_TRUE(store);
        ContextPtr older = decode(trio().older.der);
        PCCERT_CONTEXT stored = nullptr;
        ASSERT_TRUE(CertAddCertificateContextToStore(store.get(), older.get(), CERT_STORE_ADD_NEW,
                                                     &stored));
        ContextPtr storedOwner(stored);
        setFriendlyName(stored, u"stored");
        // A property only the stored entry has, to see what inherits it.
        CRYPT_DATA_BLOB mark{1, const_cast<BYTE*>(reinterpret_cast<const BYTE*>("M"))};
        ASSERT_TRUE(CertSetCertificateContextProperty(stored, CERT_FIRST_USER_PROP_ID, 0, &mark));

        ContextPtr added = decode(c.addNewer ? trio().newer.der : trio().older.der);
        setFriendlyName(added.get(), u"added");
        PCCERT_CONTEXT result = reinterpret_cast<PCCERT_CONTEXT>(1);
        SetLastError(0);
        BOOL ok =
            CertAddCertificateContextToStore(store.get(), added.get(), c.disposition, &result);
        ContextPtr resultOwner(ok ? result : nullptr);
        EXPECT_EQ(ok != FALSE, c.ok);
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.error));
            EXPECT_EQ(result, nullptr);
        }
        EXPECT_EQ(count(store.get()), c.countAfter);

        // What the store holds now, read through a fresh handle (the same store for memory).
        StorePtr again(GetParam() == Kind::Memory ? CertDuplicateStore(store.get())
                                                  : openKind(GetParam()));
        PCCERT_CONTEXT last = nullptr;
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(again.get(), ctx)) != nullptr) {
            CertFreeCertificateContext(last);
            last = CertDuplicateCertificateContext(ctx);
        }
        ContextPtr lastOwner(last);
        ASSERT_NE(last, nullptr);
        {
            EXPECT_EQ(friendlyName(last), c.friendlyAfter);
            const Bytes& expected = c.newerStored ? trio().newer.der : trio().older.der;
            EXPECT_EQ(Bytes(last->pbCertEncoded, last->pbCertEncoded + last->cbCertEncoded),
                      expected);
            DWORD cb = 0;
            bool marked =
                CertGetCertificateContextProperty(last, CERT_FIRST_USER_PROP_ID, nullptr, &cb);
            bool inherits = !c.ok || c.disposition == CERT_STORE_ADD_USE_EXISTING ||
                            c.disposition == CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES ||
                            c.disposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES;
            if (c.disposition != CERT_STORE_ADD_ALWAYS) {
                EXPECT_EQ(marked, inherits);
            }
        }
        if (ok) {
            EXPECT_EQ(friendlyName(result), c.friendlyAfter);
        }
    }
}

TEST_P(StoreTest, ExistsLeavesKeyProviderInformationAsItWas) {
    StorePtr store(openKind(GetParam()));
    ContextPtr cert = decode(trio().other.der);
    PCCERT_CONTEXT stored = nullptr;
    ASSERT_TRUE(
        CertAddCertificateContextToStore(store.get(), cert.get(), CERT_STORE_ADD_NEWER, &stored));
    ContextPtr storedOwner(stored);
    std::u16string container = u"key01@TOKEN";
    std::u16string provider = u"Vantor Cryptographic Service Provider";
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), 1, 0, 0, nullptr, AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(stored, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));

    // The same certificate again, carrying other key provider information.
    std::u16string other = u"other@X";
    CRYPT_KEY_PROV_INFO otherInfo{other.data(), provider.data(), 1, 0, 0, nullptr, AT_KEYEXCHANGE};
    ASSERT_TRUE(
        CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &otherInfo));
    EXPECT_FALSE(
        CertAddCertificateContextToStore(store.get(), cert.get(), CERT_STORE_ADD_NEWER, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));

    ContextPtr found(CertEnumCertificatesInStore(store.get(), nullptr));
    ASSERT_TRUE(found);
    DWORD cb = 0;
    ASSERT_TRUE(
        CertGetCertificateContextProperty(found.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
    std::vector<BYTE> buf(cb);
    ASSERT_TRUE(CertGetCertificateContextProperty(found.get(), CERT_KEY_PROV_INFO_PROP_ID,
                                                  buf.data(), &cb));
    const auto* got = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
    EXPECT_EQ(std::u16string(got->pwszContainerName), container);
    EXPECT_EQ(got->dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));
}

TEST_P(StoreTest, FindByHashSubjectAndAny) {
    StorePtr store(openKind(GetParam()));
    for (const Issued* i : {&hierarchy().root, &hierarchy().intermediate, &trio().other}) {
        ContextPtr c = decode(i->der);
        ASSERT_TRUE(
            CertAddCertificateContextToStore(store.get(), c.get(), CERT_STORE_ADD_NEW, nullptr));
    }
    ContextPtr mid = decode(hierarchy().intermediate.der);
    BYTE hash[20];
    DWORD cb = sizeof(hash);
    ASSERT_TRUE(CertGetCertificateContextProperty(mid.get(), CERT_SHA1_HASH_PROP_ID, hash, &cb));
    CRYPT_HASH_BLOB hb{cb, hash};
    ContextPtr byHash(CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                                 CERT_FIND_SHA1_HASH, &hb, nullptr));
    ASSERT_TRUE(byHash);
    EXPECT_EQ(byHash->cbCertEncoded, mid->cbCertEncoded);

    struct Case {
        const char* needle;
        int matches;
    } subjects[] = {{"issuing ca", 1}, {"Vantor Test", 2}, {"nobody", 0}, {"", 3}};
    for (const auto& c : subjects) {
        SCOPED_TRACE(c.needle);
        int n = 0;
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                                 CERT_FIND_SUBJECT_STR_A, c.needle, ctx))) {
            ++n;
        }
        EXPECT_EQ(n, c.matches);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    }
    std::u16string wide = u"OTHER";
    ContextPtr w(CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                            CERT_FIND_SUBJECT_STR_W, wide.c_str(), nullptr));
    EXPECT_TRUE(w);
    EXPECT_EQ(count(store.get()), 3);
}

TEST_P(StoreTest, DeleteRemovesOnlyThatCertificate) {
    StorePtr store(openKind(GetParam()));
    for (const Issued* i : {&hierarchy().root, &trio().other}) {
        ContextPtr c = decode(i->der);
        ASSERT_TRUE(
            CertAddCertificateContextToStore(store.get(), c.get(), CERT_STORE_ADD_NEW, nullptr));
    }
    PCCERT_CONTEXT first = CertEnumCertificatesInStore(store.get(), nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(CertDeleteCertificateFromStore(first));  // frees `first` as well
    EXPECT_EQ(count(store.get()), 1);
    ContextPtr left(CertEnumCertificatesInStore(store.get(), nullptr));
    ASSERT_TRUE(left);
    EXPECT_EQ(left->cbCertEncoded, trio().other.der.size());
}

INSTANTIATE_TEST_SUITE_P(Kinds, StoreTest,
                         ::testing::Values(Kind::Memory, Kind::User, Kind::Machine),
                         [](const auto& info) {
                             return info.param == Kind::Memory ? "memory"
                                    : info.param == Kind::User ? "user"
                                                               : "machine";
                         });

using SystemStoreTest = PrivateStores;

TEST_F(SystemStoreTest, LocationsAndNamesAreSeparateAndCaseInsensitive) {
    ContextPtr root = decode(hierarchy().root.der);
    {
        StorePtr user(CertOpenSystemStoreA(0, "ROOT"));
        ASSERT_TRUE(user);
        ASSERT_TRUE(
            CertAddCertificateContextToStore(user.get(), root.get(), CERT_STORE_ADD_NEW, nullptr));
    }
    StorePtr lower(openKind(Kind::User, u"root"));
    EXPECT_EQ(count(lower.get()), 1);
    StorePtr machine(openKind(Kind::Machine, u"ROOT"));
    EXPECT_EQ(count(machine.get()), 0);
    StorePtr ca(openKind(Kind::User, u"CA"));
    EXPECT_EQ(count(ca.get()), 0);
    StorePtr any(openKind(Kind::User, u"Vantor Private Store"));
    ASSERT_TRUE(any);
    EXPECT_EQ(count(any.get()), 0);
}

TEST_F(SystemStoreTest, OpenFlagsAndHandleChecks) {
    SetLastError(0);
    EXPECT_EQ(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG, "NoSuch"),
        nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, 0, "MY"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_EQ(CertOpenSystemStoreA(0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_EQ(CertOpenStore(reinterpret_cast<LPCSTR>(7), 0, 0, 0, nullptr), nullptr);

    // Read-only stores refuse changes.
    { StorePtr my(CertOpenSystemStoreA(0, "MY")); }
    StorePtr ro(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                              CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, "MY"));
    ASSERT_TRUE(ro);
    ContextPtr root = decode(hierarchy().root.der);
    EXPECT_FALSE(
        CertAddCertificateContextToStore(ro.get(), root.get(), CERT_STORE_ADD_ALWAYS, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_ACCESSDENIED));

    // A handle closed twice is refused the second time, even while a context keeps the store.
    HCERTSTORE mem = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    PCCERT_CONTEXT inMem = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(mem, root.get(), CERT_STORE_ADD_NEW, &inMem));
    // The check flag reports the context still held, and the handle is closed all the same.
    EXPECT_FALSE(CertCloseStore(mem, CERT_CLOSE_STORE_CHECK_FLAG));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
    EXPECT_FALSE(CertCloseStore(mem, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    // The context still works after its store's handle is closed.
    EXPECT_EQ(friendlyName(inMem), "<none>");
    EXPECT_TRUE(CertFreeCertificateContext(inMem));
    HCERTSTORE empty = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    EXPECT_TRUE(CertCloseStore(empty, CERT_CLOSE_STORE_CHECK_FLAG));

    // The delete flag removes a store; Windows reports that as null with last error 0.
    { StorePtr s(openKind(Kind::User, u"Scratch")); }
    SetLastError(1);
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                            CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_DELETE_FLAG, u"Scratch"),
              nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG, u"Scratch"),
        nullptr);
}

}  // namespace
