// Stores across processes: what one process stores another reads, and concurrent writers lose
// nothing.
#include <sys/wait.h>
#include <unistd.h>

#include "test_pki.h"
#include "win/winerror.h"

using namespace testpki;

namespace {

using StoreProcessTest = PrivateStores;

const std::u16string kProvider = u"Vantor Cryptographic Service Provider";

std::u16string containerOf(int writer, int i) {
    std::string s = "key" + std::to_string(writer) + "_" + std::to_string(i) + "@SERIAL";
    return std::u16string(s.begin(), s.end());
}

// Adds a certificate to "MY" with key provider information; 0 on success.
int addWithKey(const Bytes& der, const std::u16string& container) {
    StorePtr store(CertOpenSystemStoreA(0, "MY"));
    if (!store) {
        return 10;
    }
    ContextPtr cert = decode(der);
    PCCERT_CONTEXT stored = nullptr;
    if (!CertAddCertificateContextToStore(store.get(), cert.get(), CERT_STORE_ADD_NEWER, &stored)) {
        return 11;
    }
    ContextPtr owner(stored);
    std::u16string c = container;
    std::u16string p = kProvider;
    CRYPT_KEY_PROV_INFO info{c.data(), p.data(), PROV_RSA_FULL, 0, 0, nullptr, AT_SIGNATURE};
    return CertSetCertificateContextProperty(stored, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) ? 0 : 12;
}

int runChild(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// Runs body(w) in one child process per writer, all at once; every child must exit with 0.
void runWriters(int writers, const std::function<int(int)>& body) {
    std::vector<pid_t> pids;
    for (int w = 0; w < writers; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            _exit(body(w));
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

std::u16string storedContainer(PCCERT_CONTEXT ctx) {
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) {
        return u"<none>";
    }
    std::vector<BYTE> buf(cb);
    CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &cb);
    return reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data())->pwszContainerName;
}

TEST_F(StoreProcessTest, KeyProvInfoSurvivesTheWritingProcess) {
    const Bytes& der = hierarchy().intermediate.der;
    ASSERT_EQ(runChild([&] { return addWithKey(der, u"label@0001"); }), 0);
    // This process has not opened any store yet: everything comes from disk.
    StorePtr store(CertOpenSystemStoreA(0, "MY"));
    ContextPtr ctx(CertEnumCertificatesInStore(store.get(), nullptr));
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ctx->cbCertEncoded, der.size());
    EXPECT_EQ(storedContainer(ctx.get()), u"label@0001");
    // A second run of the writer (the same certificate, NEWER) changes nothing but may rewrite
    // the key information, as propagation does.
    ASSERT_EQ(runChild([&] { return addWithKey(der, u"label@0001"); }), 11);
    EXPECT_EQ(count(store.get()), 1);
}

TEST_F(StoreProcessTest, FourConcurrentWritersLoseNothing) {
    constexpr int kWriters = 4;
    constexpr int kEach = 12;
    std::vector<std::vector<Bytes>> certs(kWriters);
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kEach; ++i) {
            Spec s{"/O=Vantor Test/CN=Writer " + std::to_string(w) + " #" + std::to_string(i),
                   {static_cast<BYTE>(0x50 + w), static_cast<BYTE>(i + 1)}};
            certs[w].push_back(make(s, &hierarchy().intermediate).der);
        }
    }
    ASSERT_NO_FATAL_FAILURE(runWriters(kWriters, [&](int w) {
        for (int i = 0; i < kEach; ++i) {
            if (int rc = addWithKey(certs[w][i], containerOf(w, i))) {
                return rc;
            }
        }
        return 0;
    }));
    StorePtr store(CertOpenSystemStoreA(0, "MY"));
    EXPECT_EQ(count(store.get()), kWriters * kEach);
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kEach; ++i) {
            ContextPtr want = decode(certs[w][i]);
            BYTE hash[20];
            DWORD cb = sizeof(hash);
            ASSERT_TRUE(
                CertGetCertificateContextProperty(want.get(), CERT_SHA1_HASH_PROP_ID, hash, &cb));
            CRYPT_HASH_BLOB hb{cb, hash};
            ContextPtr found(CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                                        CERT_FIND_SHA1_HASH, &hb, nullptr));
            ASSERT_TRUE(found) << w << "/" << i;
            EXPECT_EQ(storedContainer(found.get()), containerOf(w, i));
        }
    }
}

TEST_F(StoreProcessTest, ConcurrentPropertyWritersOnOneCertificateLoseNothing) {
    // Each writer sets its own property of the same stored certificate, many times over; every
    // change is a read-modify-write of the certificate's record, so a lost update would drop
    // another writer's property.
    const Bytes& der = hierarchy().root.der;
    ASSERT_EQ(runChild([&] { return addWithKey(der, u"shared@1"); }), 0);
    constexpr int kWriters = 4;
    constexpr int kRounds = 40;
    ASSERT_NO_FATAL_FAILURE(runWriters(kWriters, [&](int w) {
        StorePtr store(CertOpenSystemStoreA(0, "MY"));
        ContextPtr ctx(CertEnumCertificatesInStore(store.get(), nullptr));
        if (!ctx) {
            return 20;
        }
        for (int r = 0; r < kRounds; ++r) {
            BYTE value[2] = {static_cast<BYTE>(w), static_cast<BYTE>(r)};
            CRYPT_DATA_BLOB blob{sizeof(value), value};
            if (!CertSetCertificateContextProperty(ctx.get(), CERT_FIRST_USER_PROP_ID + w, 0,
                                                   &blob)) {
                return 21;
            }
        }
        return 0;
    }));
    StorePtr store(CertOpenSystemStoreA(0, "MY"));
    ContextPtr ctx(CertEnumCertificatesInStore(store.get(), nullptr));
    ASSERT_TRUE(ctx);
    for (int w = 0; w < kWriters; ++w) {
        BYTE value[2] = {};
        DWORD cb = sizeof(value);
        ASSERT_TRUE(
            CertGetCertificateContextProperty(ctx.get(), CERT_FIRST_USER_PROP_ID + w, value, &cb))
            << "writer " << w;
        EXPECT_EQ(value[0], w);
        EXPECT_EQ(value[1], kRounds - 1);
    }
    EXPECT_EQ(storedContainer(ctx.get()), u"shared@1");
}

}  // namespace
