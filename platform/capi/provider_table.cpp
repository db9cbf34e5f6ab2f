// Finding, loading and binding providers by their registered names.
#include "provider_table.h"

#include <strings.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "capi_error.h"
#include "soft_context.h"
#include "win/winreg.h"

namespace vantor::capi {

namespace {

constexpr const char* kBuiltIn[] = {MS_ENHANCED_PROV_A, MS_DEF_PROV_A};

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using RegKey = std::unique_ptr<HKEY__, KeyCloser>;

bool isBuiltIn(const std::string& name) {
    return std::any_of(std::begin(kBuiltIn), std::end(kBuiltIn),
                       [&](const char* b) { return strcasecmp(b, name.c_str()) == 0; });
}

RegKey openProviderKey(const std::string& name) {
    HKEY key = nullptr;
    const std::string path = std::string(VANTOR_CRYPT_PROVIDER_KEY) + "\\" + name;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return RegKey(key);
}

bool readDword(HKEY key, const char* value, DWORD& out) {
    DWORD type = 0;
    DWORD size = sizeof out;
    return RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&out), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof out;
}

bool readString(HKEY key, const char* value, std::string& out) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0) {
        return false;
    }
    std::string text(size, '\0');
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    text.resize(std::min<std::size_t>(size, text.size()));
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    out = text;
    return !out.empty();
}

std::shared_ptr<ProviderImage> loadImage(const std::string& name, DWORD type) {
    RegKey key = openProviderKey(name);
    if (!key) {
        fail(NTE_KEYSET_NOT_DEF);
    }
    DWORD registeredType = 0;
    std::string imagePath;
    if (!readDword(key.get(), "Type", registeredType) ||
        !readString(key.get(), "Image Path", imagePath)) {
        fail(NTE_PROV_TYPE_ENTRY_BAD);
    }
    if (registeredType != type) {
        fail(NTE_PROV_TYPE_NO_MATCH);
    }
    HMODULE module = LoadLibraryA(imagePath.c_str());
    if (module == nullptr) {
        fail(NTE_PROV_DLL_NOT_FOUND);
    }
    auto image = std::make_shared<ProviderImage>();
    image->name = name;
    image->type = registeredType;
    image->module = module;
    CRYPT_PROVIDER_FUNCTIONS& f = image->functions;
    bool complete = true;
    auto bind = [&](auto& slot, const char* entry, bool required) {
        FARPROC proc = GetProcAddress(module, entry);
        complete = complete && (proc != nullptr || !required);
        slot = ProcAs<std::remove_reference_t<decltype(slot)>>(proc);
    };
    bind(f.CPAcquireContext, "CPAcquireContext", true);
    bind(f.CPCreateHash, "CPCreateHash", true);
    bind(f.CPDecrypt, "CPDecrypt", true);
    bind(f.CPDeriveKey, "CPDeriveKey", true);
    bind(f.CPDestroyHash, "CPDestroyHash", true);
    bind(f.CPDestroyKey, "CPDestroyKey", true);
    bind(f.CPEncrypt, "CPEncrypt", true);
    bind(f.CPExportKey, "CPExportKey", true);
    bind(f.CPGenKey, "CPGenKey", true);
    bind(f.CPGenRandom, "CPGenRandom", true);
    bind(f.CPGetHashParam, "CPGetHashParam", true);
    bind(f.CPGetKeyParam, "CPGetKeyParam", true);
    bind(f.CPGetProvParam, "CPGetProvParam", true);
    bind(f.CPGetUserKey, "CPGetUserKey", true);
    bind(f.CPHashData, "CPHashData", true);
    bind(f.CPHashSessionKey, "CPHashSessionKey", true);
    bind(f.CPImportKey, "CPImportKey", true);
    bind(f.CPReleaseContext, "CPReleaseContext", true);
    bind(f.CPSetHashParam, "CPSetHashParam", true);
    bind(f.CPSetKeyParam, "CPSetKeyParam", true);
    bind(f.CPSetProvParam, "CPSetProvParam", true);
    bind(f.CPSignHash, "CPSignHash", true);
    bind(f.CPVerifySignature, "CPVerifySignature", true);
    bind(f.CPDuplicateHash, "CPDuplicateHash", false);
    if (!complete) {
        FreeLibrary(module);
        fail(NTE_PROVIDER_DLL_FAIL);
    }
    return image;
}

std::string defaultProviderName(DWORD type) {
    // The default of a type is registered under Defaults\Provider Types\Type NNN ("Name");
    // without one, PROV_RSA_FULL falls back to the Enhanced provider.
    char path[96];
    std::snprintf(path, sizeof path,
                  "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type %03u",
                  static_cast<unsigned>(type));
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &raw) == ERROR_SUCCESS) {
        RegKey key(raw);
        std::string name;
        if (readString(key.get(), "Name", name)) {
            return name;
        }
    }
    if (type == PROV_RSA_FULL) {
        return MS_ENHANCED_PROV_A;
    }
    fail(NTE_PROV_TYPE_NOT_DEF);
}

}  // namespace

std::shared_ptr<const ProviderImage> findProvider(const char* name, DWORD type) {
    const std::string wanted = name != nullptr ? name : defaultProviderName(type);
    if (isBuiltIn(wanted)) {
        if (type != PROV_RSA_FULL) {
            fail(NTE_PROV_TYPE_NO_MATCH);
        }
        static const auto enhanced = [] {
            auto image = std::make_shared<ProviderImage>();
            image->name = MS_ENHANCED_PROV_A;
            image->type = PROV_RSA_FULL;
            image->functions = softProviderFunctions();
            return image;
        }();
        static const auto base = [] {
            auto image = std::make_shared<ProviderImage>();
            image->name = MS_DEF_PROV_A;
            image->type = PROV_RSA_FULL;
            image->functions = softProviderFunctions();
            return image;
        }();
        return strcasecmp(wanted.c_str(), MS_DEF_PROV_A) == 0 ? base : enhanced;
    }
    // Registered images stay loaded for the life of the process, as their contexts and the
    // handles applications hold may outlive any one caller.
    static std::mutex mutex;
    static auto* loaded = new std::map<std::string, std::shared_ptr<ProviderImage>>();
    std::lock_guard lock(mutex);
    auto it = loaded->find(wanted);
    if (it != loaded->end()) {
        if (it->second->type != type) {
            fail(NTE_PROV_TYPE_NO_MATCH);
        }
        return it->second;
    }
    auto image = loadImage(wanted, type);
    (*loaded)[wanted] = image;
    return image;
}

std::vector<ProviderListing> listProviders() {
    std::vector<ProviderListing> list;
    for (const char* name : kBuiltIn) {
        list.push_back({name, PROV_RSA_FULL});
    }
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, VANTOR_CRYPT_PROVIDER_KEY, 0, KEY_READ, &raw) ==
        ERROR_SUCCESS) {
        RegKey key(raw);
        for (DWORD i = 0;; ++i) {
            char name[512];
            DWORD size = sizeof name;
            if (RegEnumKeyExA(key.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            if (isBuiltIn(name)) {
                continue;
            }
            RegKey sub = openProviderKey(name);
            DWORD type = 0;
            if (sub && readDword(sub.get(), "Type", type)) {
                list.push_back({name, type});
            }
        }
    }
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
        return strcasecmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    return list;
}

}  // namespace vantor::capi
