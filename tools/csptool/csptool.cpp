// csptool: a command-line window onto CryptoAPI providers: list them, create and delete key
// containers, generate keys, sign and verify a file's hash, export a public key as PEM.
//
//   csptool list-providers (or list)
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
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vantor/cli.h"
#include "win/errhandlingapi.h"
#include "win/wincrypt.h"
#include "win/winreg.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The help text; the default provider is the Enhanced one.
const char kHelp[] =
    "usage: csptool COMMAND [options]\n"
    "A command-line window onto CryptoAPI providers and their key containers.\n"
    "  list-providers (or list)             providers and their types\n"
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
    "options: -p PROVIDER (default: " MS_ENHANCED_PROV_A
    ")\n"
    "         --machine   the machine's containers instead of the user's\n"
    "         --exchange  the exchange key instead of the signature key\n"
    "         --hash      md5, sha1, sha256 (default), sha384, sha512\n"
    "         --le        signature in CryptoAPI's little-endian order\n"
    "         --help, --version\n"
    "Exit status: 0 done, 1 a bad command line, 2 the operation failed.\n";

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
        {static_cast<DWORD>(ERROR_ACCESS_DENIED), "ERROR_ACCESS_DENIED"},
    };
    auto it = names.find(code);
    return it != names.end() ? it->second : "error";
}

// What a person can do about the codes one meets from the command line; empty for the others.
const char* hintFor(DWORD code) {
    static const std::map<DWORD, const char*> hints = {
        {static_cast<DWORD>(NTE_BAD_KEYSET),
         "no such key container: make it with 'csptool create CONTAINER' (--machine for the "
         "machine's), or check its name"},
        {static_cast<DWORD>(NTE_EXISTS),
         "the container exists already: use it, or remove it with 'csptool delete CONTAINER'"},
        {static_cast<DWORD>(NTE_NO_KEY),
         "the container holds no such key: make one with 'csptool genkey CONTAINER' (with "
         "--exchange for the exchange key)"},
        {static_cast<DWORD>(NTE_BAD_SIGNATURE),
         "the file or the signature is not the one signed (a CryptoAPI-order signature needs "
         "--le, and the same --hash as when signing)"},
        {static_cast<DWORD>(NTE_KEYSET_NOT_DEF),
         "the provider is not registered: see 'csptool list-providers', register it with "
         "'csptool register NAME IMAGE'"},
        {static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND),
         "the provider's image does not load: check its path in the registration (csptool "
         "register NAME IMAGE writes it again)"},
        {static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL),
         "the provider's image lacks its entry points: register the provider's own library"},
        {static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH),
         "the provider is registered with another type: register it again with --type"},
        {static_cast<DWORD>(ERROR_ACCESS_DENIED),
         "no permission: the machine's registration and containers need root"},
    };
    auto it = hints.find(code);
    return it != hints.end() ? it->second : "";
}

[[noreturn]] void failed(const std::string& what) {
    const DWORD code = GetLastError();
    char text[64];
    std::snprintf(text, sizeof text, ": %s (0x%08X)", codeName(code), code);
    std::string message = what + text;
    if (const char* hint = hintFor(code); *hint != '\0') {
        message += "\n  ";
        message += hint;
    }
    throw Failure(message);
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw Failure("cannot read " + path + ": " + std::strerror(errno));
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        throw Failure("cannot write " + path + ": " + std::strerror(errno));
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

// Reads the command line into o; on a mistake returns what was wrong, naming the argument.
std::optional<std::string> parse(int argc, char** argv, Options& o) {
    if (argc < 2) {
        return "no command given";
    }
    o.command = argv[1];
    // "list-providers" says what "list" lists; both stay.
    if (o.command == "list-providers") {
        o.command = "list";
    }
    const std::map<std::string, std::pair<std::size_t, const char*>> arity = {
        {"list", {0, ""}},
        {"create", {1, "CONTAINER"}},
        {"delete", {1, "CONTAINER"}},
        {"genkey", {1, "CONTAINER"}},
        {"sign", {2, "CONTAINER FILE"}},
        {"verify", {3, "CONTAINER FILE SIG"}},
        {"pubkey", {1, "CONTAINER"}},
        {"register", {2, "NAME IMAGE"}},
        {"unregister", {1, "NAME"}},
        {"card", {1, "CONTAINER"}}};
    auto command = arity.find(o.command);
    if (command == arity.end()) {
        return "unknown command '" + o.command + "'";
    }
    // A number option: decimal, or hexadecimal with 0x where the base is 0.
    auto number = [](const std::string& option, const char* text, int base,
                     DWORD& out) -> std::optional<std::string> {
        char* end = nullptr;
        errno = 0;
        const unsigned long value = std::strtoul(text, &end, base);
        if (*text == '\0' || *text == '-' || *end != '\0' || errno != 0 || value > 0xFFFFFFFFul) {
            return option + " needs a number, not '" + text + "'";
        }
        out = static_cast<DWORD>(value);
        return std::nullopt;
    };
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool takesValue =
            a == "-p" || a == "--provider" || a == "-o" || a == "--output" || a == "--hash" ||
            a == "--bits" || a == "--type" || a == "--pkcs11-lib" || a == "--smart-logon-name" ||
            a == "--pin" || a == "--slot" || a == "--detect-reader-changes" || a == "--slot-index";
        if (takesValue && i + 1 >= argc) {
            return a + " needs a value";
        }
        std::optional<std::string> bad;
        if (a == "-p" || a == "--provider") {
            o.provider = argv[++i];
        } else if (a == "-o" || a == "--output") {
            o.output = argv[++i];
        } else if (a == "--hash") {
            const char* v = argv[++i];
            if (!parseHash(v, o.hash)) {
                return std::string("unknown hash '") + v +
                       "' (md5, sha1, sha256, sha384 or sha512)";
            }
        } else if (a == "--bits") {
            bad = number(a, argv[++i], 10, o.bits);
        } else if (a == "--type") {
            bad = number(a, argv[++i], 10, o.type);
        } else if (a == "--pkcs11-lib" || a == "--smart-logon-name" || a == "--pin" ||
                   a == "--slot") {
            const char* v = argv[++i];
            (a == "--pkcs11-lib"         ? o.pkcs11Lib
             : a == "--smart-logon-name" ? o.smartLogonName
             : a == "--pin"              ? o.pin
                                         : o.slot) = v;
        } else if (a == "--detect-reader-changes" || a == "--slot-index") {
            DWORD value = 0;
            bad = number(a, argv[++i], 0, value);
            (a == "--slot-index" ? o.slotIndex : o.detectReaderChanges) = value;
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
            return "unknown option '" + a + "'";
        } else {
            o.args.push_back(a);
        }
        if (bad) {
            return bad;
        }
    }
    const auto& [count, operands] = command->second;
    if (o.args.size() != count) {
        std::string what =
            o.command + (count == 0 ? " takes no operands" : std::string(" needs ") + operands);
        return what + " (" + std::to_string(o.args.size()) + " given)";
    }
    return std::nullopt;
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
    if (vantor::cli::HandleStandardOptions(argc, argv, "csptool", kHelp)) {
        return 0;
    }
    Options o;
    if (const auto mistake = parse(argc, argv, o)) {
        return vantor::cli::UsageError("csptool", *mistake, 1);
    }
    try {
        return run(o);
    } catch (const Failure& f) {
        std::fprintf(stderr, "csptool: %s: %s\n", o.command.c_str(), f.what());
        return 2;
    }
}
