// csptool: a command-line window onto CryptoAPI providers: list them, create and delete key
// containers, generate keys, sign and verify a file's hash, export a public key as PEM.
//
//   csptool list
//   csptool create|delete CONTAINER
//   csptool genkey CONTAINER [--bits N] [--exportable]
//   csptool sign CONTAINER FILE [-o SIG] [--hash ALG] [--le]
//   csptool verify CONTAINER FILE SIG [--hash ALG] [--le]
//   csptool pubkey CONTAINER [-o PEM]
//   csptool register NAME IMAGE [--type N] [--pkcs11-lib LIST] [--detect-reader-changes N]
//                              [--smart-logon-name NAME] | unregister NAME
//   csptool card CONTAINER [--pin PIN] [--slot TEXT | --slot-index N] [--force-pin] [--silent]
//   common: [-p PROVIDER] [--machine] [--exchange]
//
// Exit code 0 on success, 1 for a bad command line, 2 when an operation fails.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "win/errhandlingapi.h"
#include "win/wincrypt.h"
#include "win/winreg.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void usage() {
    std::fprintf(stderr,
                 "usage: csptool COMMAND [options]\n"
                 "  list                                 providers and their types\n"
                 "  create CONTAINER | delete CONTAINER  key container lifecycle\n"
                 "  genkey CONTAINER [--bits N] [--exportable]\n"
                 "  sign CONTAINER FILE [-o SIG] [--hash ALG] [--le] [--pin PIN]\n"
                 "  verify CONTAINER FILE SIG [--hash ALG] [--le]\n"
                 "  pubkey CONTAINER [-o PEM]            the user key's public key as PEM\n"
                 "  register NAME IMAGE [--type N]       registers a provider image (type 1)\n"
                 "     [--pkcs11-lib LIST] [--detect-reader-changes N] [--smart-logon-name NAME]\n"
                 "                                       values a card provider reads\n"
                 "  unregister NAME                      removes a provider's registration\n"
                 "  card CONTAINER [--pin PIN] [--slot TEXT | --slot-index N] [--force-pin]\n"
                 "       [--silent]                      binds a card provider's context to its\n"
                 "                                       token, reads the key's certificate\n"
                 "options: -p PROVIDER (default: %s)\n"
                 "         --machine   the machine's containers instead of the user's\n"
                 "         --exchange  the exchange key instead of the signature key\n"
                 "         --hash      md5, sha1, sha256 (default), sha384, sha512\n"
                 "         --le        signature in CryptoAPI's little-endian order\n",
                 MS_ENHANCED_PROV_A);
}

// An operation that failed: what was done, on what, and the CryptoAPI code by name.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char* codeName(DWORD code) {
    static const std::map<DWORD, const char*> names = {
        {static_cast<DWORD>(NTE_BAD_UID), "NTE_BAD_UID"},
        {static_cast<DWORD>(NTE_BAD_HASH), "NTE_BAD_HASH"},
        {static_cast<DWORD>(NTE_BAD_KEY), "NTE_BAD_KEY"},
        {static_cast<DWORD>(NTE_BAD_LEN), "NTE_BAD_LEN"},
        {static_cast<DWORD>(NTE_BAD_DATA), "NTE_BAD_DATA"},
        {static_cast<DWORD>(NTE_BAD_SIGNATURE), "NTE_BAD_SIGNATURE"},
        {static_cast<DWORD>(NTE_BAD_ALGID), "NTE_BAD_ALGID"},
        {static_cast<DWORD>(NTE_BAD_FLAGS), "NTE_BAD_FLAGS"},
        {static_cast<DWORD>(NTE_BAD_TYPE), "NTE_BAD_TYPE"},
        {static_cast<DWORD>(NTE_BAD_KEY_STATE), "NTE_BAD_KEY_STATE"},
        {static_cast<DWORD>(NTE_NO_KEY), "NTE_NO_KEY"},
        {static_cast<DWORD>(NTE_EXISTS), "NTE_EXISTS"},
        {static_cast<DWORD>(NTE_BAD_KEYSET), "NTE_BAD_KEYSET"},
        {static_cast<DWORD>(NTE_KEYSET_NOT_DEF), "NTE_KEYSET_NOT_DEF"},
        {static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH), "NTE_PROV_TYPE_NO_MATCH"},
        {static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL), "NTE_PROVIDER_DLL_FAIL"},
        {static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND), "NTE_PROV_DLL_NOT_FOUND"},
        {static_cast<DWORD>(NTE_FAIL), "NTE_FAIL"},
        {static_cast<DWORD>(ERROR_MORE_DATA), "ERROR_MORE_DATA"},
        {static_cast<DWORD>(ERROR_INVALID_PARAMETER), "ERROR_INVALID_PARAMETER"},
    };
    auto it = names.find(code);
    return it != names.end() ? it->second : "error";
}

[[noreturn]] void failed(const std::string& what) {
    const DWORD code = GetLastError();
    char text[64];
    std::snprintf(text, sizeof text, ": %s (0x%08X)", codeName(code), code);
    throw Failure(what + text);
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw Failure("cannot read " + path);
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        throw Failure("cannot write " + path);
    }
}

struct Options {
    std::string command;
    std::vector<std::string> args;
    std::string provider = MS_ENHANCED_PROV_A;
    std::string output;
    ALG_ID hash = CALG_SHA_256;
    DWORD bits = 0;
    DWORD type = PROV_RSA_FULL;
    DWORD keySpec = AT_SIGNATURE;
    bool machine = false;
    bool exportable = false;
    bool littleEndian = false;
    // Registration values of a card provider (absent: not written).
    std::optional<std::string> pkcs11Lib;
    std::optional<DWORD> detectReaderChanges;
    std::optional<std::string> smartLogonName;
    // Card binding.
    std::optional<std::string> pin;
    std::optional<std::string> slot;
    std::optional<DWORD> slotIndex;
    bool forcePin = false;
    bool silent = false;
};

bool parseHash(const std::string& name, ALG_ID& alg) {
    static const std::map<std::string, ALG_ID> algs = {
        {"md5", CALG_MD5},        {"sha1", CALG_SHA1},      {"sha256", CALG_SHA_256},
        {"sha384", CALG_SHA_384}, {"sha512", CALG_SHA_512},
    };
    auto it = algs.find(name);
    if (it == algs.end()) {
        return false;
    }
    alg = it->second;
    return true;
}

bool parse(int argc, char** argv, Options& o) {
    if (argc < 2) {
        return false;
    }
    o.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "-p" || a == "--provider") {
            const char* v = value();
            if (v == nullptr) {
                return false;
            }
            o.provider = v;
        } else if (a == "-o" || a == "--output") {
            const char* v = value();
            if (v == nullptr) {
                return false;
            }
            o.output = v;
        } else if (a == "--hash") {
            const char* v = value();
            if (v == nullptr || !parseHash(v, o.hash)) {
                return false;
            }
        } else if (a == "--bits") {
            const char* v = value();
            if (v == nullptr) {
                return false;
            }
            o.bits = static_cast<DWORD>(std::strtoul(v, nullptr, 10));
        } else if (a == "--type") {
            const char* v = value();
            if (v == nullptr) {
                return false;
            }
            o.type = static_cast<DWORD>(std::strtoul(v, nullptr, 10));
        } else if (a == "--pkcs11-lib" || a == "--smart-logon-name" || a == "--pin" ||
                   a == "--slot") {
            const char* v = value();
            if (v == nullptr) {
                return false;
            }
            (a == "--pkcs11-lib"         ? o.pkcs11Lib
             : a == "--smart-logon-name" ? o.smartLogonName
             : a == "--pin"              ? o.pin
                                         : o.slot) = v;
        } else if (a == "--detect-reader-changes" || a == "--slot-index") {
            const char* v = value();
            if (v == nullptr) {
                return false;
            }
            (a == "--slot-index" ? o.slotIndex : o.detectReaderChanges) =
                static_cast<DWORD>(std::strtoul(v, nullptr, 0));
        } else if (a == "--force-pin") {
            o.forcePin = true;
        } else if (a == "--silent") {
            o.silent = true;
        } else if (a == "--machine") {
            o.machine = true;
        } else if (a == "--exportable") {
            o.exportable = true;
        } else if (a == "--exchange") {
            o.keySpec = AT_KEYEXCHANGE;
        } else if (a == "--le") {
            o.littleEndian = true;
        } else if (!a.empty() && a[0] == '-') {
            return false;
        } else {
            o.args.push_back(a);
        }
    }
    const std::map<std::string, std::size_t> arity = {
        {"list", 0},   {"create", 1}, {"delete", 1},   {"genkey", 1},     {"sign", 2},
        {"verify", 3}, {"pubkey", 1}, {"register", 2}, {"unregister", 1}, {"card", 1}};
    auto it = arity.find(o.command);
    return it != arity.end() && it->second == o.args.size();
}

// A context on the named container; released on every path.
class Context final {
  public:
    Context(const Options& o, const std::string& container, DWORD flags) {
        if (o.machine) {
            flags |= CRYPT_MACHINE_KEYSET;
        }
        if (!CryptAcquireContextA(&handle_, container.c_str(), o.provider.c_str(), PROV_RSA_FULL,
                                  flags)) {
            failed("cannot open container \"" + container + "\" of \"" + o.provider + "\"");
        }
        // A card provider logs in with the PIN given (the slot from a reader-qualified name).
        if (o.pin && !CryptSetProvParam(handle_, PP_KEYEXCHANGE_PIN,
                                        reinterpret_cast<const BYTE*>(o.pin->c_str()), 0)) {
            const DWORD code = GetLastError();
            CryptReleaseContext(handle_, 0);
            handle_ = 0;
            SetLastError(code);
            failed("the PIN was not accepted");
        }
    }
    ~Context() {
        if (handle_ != 0) {
            CryptReleaseContext(handle_, 0);
        }
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    HCRYPTPROV get() const { return handle_; }

  private:
    HCRYPTPROV handle_ = 0;
};

struct Hash final {
    HCRYPTHASH handle = 0;
    Hash(HCRYPTPROV prov, ALG_ID alg, const Bytes& data) {
        if (!CryptCreateHash(prov, alg, 0, 0, &handle)) {
            failed("cannot create the hash");
        }
        if (!CryptHashData(handle, data.data(), static_cast<DWORD>(data.size()), 0)) {
            failed("cannot hash the file");
        }
    }
    ~Hash() {
        if (handle != 0) {
            CryptDestroyHash(handle);
        }
    }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
};

struct Key final {
    HCRYPTKEY handle = 0;
    ~Key() {
        if (handle != 0) {
            CryptDestroyKey(handle);
        }
    }
};

Bytes publicBlob(const Context& ctx, DWORD keySpec, Key& key) {
    if (!CryptGetUserKey(ctx.get(), keySpec, &key.handle)) {
        failed(keySpec == AT_SIGNATURE ? "no signature key" : "no exchange key");
    }
    DWORD size = 0;
    if (!CryptExportKey(key.handle, 0, PUBLICKEYBLOB, 0, nullptr, &size)) {
        failed("cannot export the public key");
    }
    Bytes blob(size);
    if (!CryptExportKey(key.handle, 0, PUBLICKEYBLOB, 0, blob.data(), &size)) {
        failed("cannot export the public key");
    }
    return blob;
}

std::string pemOf(const Bytes& blob) {
    if (blob.size() < 20) {
        throw Failure("short public key blob");
    }
    DWORD bits = 0, exponent = 0;
    std::memcpy(&bits, blob.data() + 12, 4);
    std::memcpy(&exponent, blob.data() + 16, 4);
    if (blob.size() < 20 + bits / 8) {
        throw Failure("short public key blob");
    }
    BIGNUM* n = BN_lebin2bn(blob.data() + 20, static_cast<int>(bits / 8), nullptr);
    BIGNUM* e = BN_new();
    BN_set_word(e, exponent);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    std::string pem;
    if (ctx != nullptr && EVP_PKEY_fromdata_init(ctx) == 1 &&
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) == 1) {
        BIO* bio = BIO_new(BIO_s_mem());
        if (PEM_write_bio_PUBKEY(bio, key) == 1) {
            char* text = nullptr;
            const long len = BIO_get_mem_data(bio, &text);
            pem.assign(text, static_cast<std::size_t>(len));
        }
        BIO_free(bio);
    }
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(e);
    BN_free(n);
    if (pem.empty()) {
        throw Failure("cannot encode the public key");
    }
    return pem;
}

// Provider registration: HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\NAME with
// "Image Path" and "Type", which is where CryptAcquireContext looks a provider up.
int registration(const Options& o) {
    const std::string key = std::string(VANTOR_CRYPT_PROVIDER_KEY) + "\\" + o.args[0];
    if (o.command == "unregister") {
        const LSTATUS rc = RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
        if (rc != ERROR_SUCCESS) {
            SetLastError(static_cast<DWORD>(rc));
            failed("cannot remove the registration of \"" + o.args[0] + "\"");
        }
        std::printf("unregistered \"%s\"\n", o.args[0].c_str());
        return 0;
    }
    HKEY handle = nullptr;
    LSTATUS rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &handle, nullptr);
    if (rc == ERROR_SUCCESS) {
        const std::string& image = o.args[1];
        rc = RegSetValueExA(handle, "Image Path", 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(image.c_str()),
                            static_cast<DWORD>(image.size() + 1));
        if (rc == ERROR_SUCCESS) {
            rc = RegSetValueExA(handle, "Type", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&o.type), sizeof o.type);
        }
        for (const auto& [name, text] : {std::pair{"Pkcs11Lib", &o.pkcs11Lib},
                                         std::pair{"SmartLogonContainerName", &o.smartLogonName}}) {
            if (rc == ERROR_SUCCESS && text->has_value()) {
                rc = RegSetValueExA(handle, name, 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>((*text)->c_str()),
                                    static_cast<DWORD>((*text)->size() + 1));
            }
        }
        if (rc == ERROR_SUCCESS && o.detectReaderChanges) {
            rc = RegSetValueExA(handle, "DetectPCSCReaderChanges", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&*o.detectReaderChanges),
                                sizeof(DWORD));
        }
        RegCloseKey(handle);
    }
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        failed("cannot register \"" + o.args[0] + "\"");
    }
    std::printf("registered \"%s\" (type %u) as %s\n", o.args[0].c_str(), o.type,
                o.args[1].c_str());
    return 0;
}

// The card provider's own parameters.
constexpr DWORD kForcePin = 1000;
constexpr DWORD kSlotName = 1001;
constexpr DWORD kSlotIndex = 1002;
constexpr DWORD kLastCardError = 1003;

DWORD lastCardError(HCRYPTPROV prov) {
    DWORD value = 0;
    DWORD size = sizeof value;
    CryptGetProvParam(prov, kLastCardError, reinterpret_cast<BYTE*>(&value), &size, 0);
    return value;
}

// Binds a card provider's context: slot and PIN when given (a login without a window), else
// the provider asks with its PIN dialog when it reads the key's certificate.
int card(const Options& o) {
    const std::string& container = o.args[0];
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(
            &prov, container.c_str(), o.provider.c_str(), PROV_RSA_FULL,
            (o.silent ? CRYPT_SILENT : 0) | (o.machine ? CRYPT_MACHINE_KEYSET : 0))) {
        failed("cannot open container \"" + container + "\" of \"" + o.provider + "\"");
    }
    struct Release {
        HCRYPTPROV p;
        ~Release() { CryptReleaseContext(p, 0); }
    } release{prov};
    char name[1024] = {};
    DWORD size = sizeof name;
    if (!CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &size, 0)) {
        failed("cannot read the container name");
    }
    std::printf("container        %s\n", name);
    if (o.forcePin) {
        const DWORD one = 1;
        CryptSetProvParam(prov, kForcePin, reinterpret_cast<const BYTE*>(&one), 0);
    }
    if (o.slot &&
        !CryptSetProvParam(prov, kSlotName, reinterpret_cast<const BYTE*>(o.slot->c_str()), 0)) {
        failed("cannot choose the slot");
    }
    if (o.slotIndex) {
        if (!CryptSetProvParam(prov, kSlotIndex, reinterpret_cast<const BYTE*>(&*o.slotIndex), 0)) {
            failed("cannot choose the slot");
        }
    }
    auto report = [&](const char* what) {
        const DWORD code = GetLastError();
        std::printf("last card error  %u\n", lastCardError(prov));
        SetLastError(code);
        failed(what);
    };
    if (o.pin && !CryptSetProvParam(prov, PP_KEYEXCHANGE_PIN,
                                    reinterpret_cast<const BYTE*>(o.pin->c_str()), 0)) {
        report("the PIN was not accepted");
    }
    Key key;
    if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, &key.handle)) {
        report("no card key");
    }
    DWORD certSize = 0;
    if (!CryptGetKeyParam(key.handle, KP_CERTIFICATE, nullptr, &certSize, 0)) {
        report("cannot read the key's certificate");
    }
    std::printf("certificate      %u bytes\n", certSize);
    std::printf("last card error  %u\n", lastCardError(prov));
    return 0;
}

int run(const Options& o) {
    if (o.command == "card") {
        return card(o);
    }
    if (o.command == "list") {
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD size = sizeof name;
            DWORD type = 0;
            if (!CryptEnumProvidersA(i, nullptr, 0, &type, name, &size)) {
                if (GetLastError() == ERROR_NO_MORE_ITEMS) {
                    return 0;
                }
                failed("cannot list the providers");
            }
            std::printf("%-3u %s\n", type, name);
        }
    }
    if (o.command == "register" || o.command == "unregister") {
        return registration(o);
    }
    const std::string& container = o.args[0];
    if (o.command == "create") {
        Context ctx(o, container, CRYPT_NEWKEYSET);
        std::printf("created container \"%s\"\n", container.c_str());
        return 0;
    }
    if (o.command == "delete") {
        HCRYPTPROV p = 0;
        if (!CryptAcquireContextA(&p, container.c_str(), o.provider.c_str(), PROV_RSA_FULL,
                                  CRYPT_DELETEKEYSET | (o.machine ? CRYPT_MACHINE_KEYSET : 0))) {
            failed("cannot delete container \"" + container + "\"");
        }
        std::printf("deleted container \"%s\"\n", container.c_str());
        return 0;
    }
    Context ctx(o, container, 0);
    if (o.command == "genkey") {
        Key key;
        const DWORD flags = (o.bits << 16) | (o.exportable ? CRYPT_EXPORTABLE : 0);
        if (!CryptGenKey(ctx.get(), o.keySpec, flags, &key.handle)) {
            failed("cannot generate the key");
        }
        DWORD bits = 0, size = sizeof bits;
        CryptGetKeyParam(key.handle, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0);
        std::printf("generated %u-bit %s key in \"%s\"\n", bits,
                    o.keySpec == AT_SIGNATURE ? "signature" : "exchange", container.c_str());
        return 0;
    }
    if (o.command == "pubkey") {
        Key key;
        const std::string pem = pemOf(publicBlob(ctx, o.keySpec, key));
        if (o.output.empty()) {
            std::fputs(pem.c_str(), stdout);
        } else {
            writeFile(o.output, pem.data(), pem.size());
        }
        return 0;
    }
    const Bytes data = readFile(o.args[1]);
    Hash hash(ctx.get(), o.hash, data);
    if (o.command == "sign") {
        DWORD size = 0;
        if (!CryptSignHashA(hash.handle, o.keySpec, nullptr, 0, nullptr, &size)) {
            failed("cannot sign " + o.args[1]);
        }
        Bytes sig(size);
        if (!CryptSignHashA(hash.handle, o.keySpec, nullptr, 0, sig.data(), &size)) {
            failed("cannot sign " + o.args[1]);
        }
        sig.resize(size);
        // CryptoAPI writes signatures little-endian; other tools expect the big-endian integer.
        if (!o.littleEndian) {
            std::reverse(sig.begin(), sig.end());
        }
        writeFile(o.output.empty() ? o.args[1] + ".sig" : o.output, sig.data(), sig.size());
        return 0;
    }
    // verify
    Key key;
    publicBlob(ctx, o.keySpec, key);
    Bytes sig = readFile(o.args[2]);
    if (!o.littleEndian) {
        std::reverse(sig.begin(), sig.end());
    }
    if (!CryptVerifySignatureA(hash.handle, sig.data(), static_cast<DWORD>(sig.size()), key.handle,
                               nullptr, 0)) {
        failed("signature " + o.args[2] + " does not verify");
    }
    std::printf("signature verified\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        usage();
        return 1;
    }
    try {
        return run(o);
    } catch (const Failure& f) {
        std::fprintf(stderr, "csptool: %s: %s\n", o.command.c_str(), f.what());
        return 2;
    }
}
