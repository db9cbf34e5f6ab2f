// Key containers: they outlive the process that made them, concurrent processes lose none,
// the stores are owner-only, and user and machine containers are apart.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "capi_test_support.h"

using namespace capitest;

namespace {

class Containers : public PrivateStore {};

Bytes publicBlob(HCRYPTPROV p, DWORD spec) {
    HCRYPTKEY k = 0;
    if (!CryptGetUserKey(p, spec, &k)) {
        return {};
    }
    DWORD size = 0;
    CryptExportKey(k, 0, PUBLICKEYBLOB, 0, nullptr, &size);
    Bytes blob(size);
    CryptExportKey(k, 0, PUBLICKEYBLOB, 0, blob.data(), &size);
    CryptDestroyKey(k);
    return blob;
}

// Runs body in a child process; true when it exited with 0.
template <typename Body>
bool inChild(Body&& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST_F(Containers, KeysSurviveTheProcessThatMadeThem) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_TRUE(inChild([&] {
        HCRYPTPROV p = 0;
        if (!CryptAcquireContextA(&p, "persist", MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                  CRYPT_NEWKEYSET)) {
            return false;
        }
        HCRYPTKEY k = 0;
        if (!CryptGenKey(p, AT_SIGNATURE, 1024u << 16, &k)) {
            return false;
        }
        const Bytes blob = publicBlob(p, AT_SIGNATURE);
        return write(fds[1], blob.data(), blob.size()) == static_cast<ssize_t>(blob.size());
    }));
    close(fds[1]);
    Bytes written(148);
    ASSERT_EQ(read(fds[0], written.data(), written.size()), 148);
    close(fds[0]);

    HCRYPTPROV p = 0;
    ASSERT_TRUE(CryptAcquireContextA(&p, "persist", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0))
        << std::hex << GetLastError();
    EXPECT_EQ(publicBlob(p, AT_SIGNATURE), written);
    EXPECT_TRUE(publicBlob(p, AT_KEYEXCHANGE).empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
    // A signature made now verifies with the key the first process exported.
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
    Bytes sig(128);
    DWORD size = 128;
    ASSERT_TRUE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, sig.data(), &size));
    HCRYPTKEY pub = 0;
    ASSERT_TRUE(CryptImportKey(p, written.data(), 148, 0, 0, &pub));
    EXPECT_TRUE(CryptVerifySignatureA(h, sig.data(), 128, pub, nullptr, 0));
    CryptDestroyKey(pub);
    CryptDestroyHash(h);
    CryptReleaseContext(p, 0);
}

TEST_F(Containers, ConcurrentProcessesLoseNothing) {
    constexpr int kProcesses = 4;
    constexpr int kEach = 20;
    std::vector<pid_t> children;
    for (int c = 0; c < kProcesses; ++c) {
        const pid_t pid = fork();
        if (pid == 0) {
            bool ok = true;
            for (int i = 0; i < kEach; ++i) {
                HCRYPTPROV p = 0;
                const std::string name = "c" + std::to_string(c) + "-" + std::to_string(i);
                ok = ok && CryptAcquireContextA(&p, name.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                                CRYPT_NEWKEYSET);
                ok = ok && CryptReleaseContext(p, 0);
            }
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HCRYPTPROV p = 0;
    ASSERT_TRUE(
        CryptAcquireContextA(&p, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    int count = 0;
    char name[64];
    DWORD size = sizeof name;
    for (DWORD flags = CRYPT_FIRST;
         CryptGetProvParam(p, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flags);
         flags = CRYPT_NEXT, size = sizeof name) {
        ++count;
    }
    EXPECT_EQ(count, kProcesses * kEach);
    CryptReleaseContext(p, 0);
}

TEST_F(Containers, LifecycleFlagsAndScopes) {
    HCRYPTPROV p = 0;
    EXPECT_FALSE(CryptAcquireContextA(&p, "life", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    ASSERT_TRUE(
        CryptAcquireContextA(&p, "life", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptGenKey(p, AT_KEYEXCHANGE, 512u << 16, &k));
    CryptDestroyKey(k);
    CryptReleaseContext(p, 0);
    EXPECT_FALSE(
        CryptAcquireContextA(&p, "life", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS));
    // The machine store is another store: the user's container is not there.
    EXPECT_FALSE(
        CryptAcquireContextA(&p, "life", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    ASSERT_TRUE(CryptAcquireContextA(&p, "life", MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                     CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET));
    CryptReleaseContext(p, 0);
    // Deleting leaves no handle and no container.
    p = 1234;
    ASSERT_TRUE(
        CryptAcquireContextA(&p, "life", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(p, 0u);
    EXPECT_FALSE(CryptAcquireContextA(&p, "life", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
    EXPECT_FALSE(
        CryptAcquireContextA(&p, "life", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    ASSERT_TRUE(
        CryptAcquireContextA(&p, "life", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET));
    CryptReleaseContext(p, 0);

    // Both stores sit beside the registry hives, readable by their owner only.
    for (const char* file : {"user_keys.db", "machine_keys.db"}) {
        struct stat st {};
        ASSERT_EQ(stat((dir_ + "/" + file).c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    }
}
