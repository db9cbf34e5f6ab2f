// Providers by name: the built-in software providers, and every other provider registered
// under HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name> ("Image Path", "Type"),
// whose image is loaded through the platform loader and bound by its CP* entry point names.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "win/libloaderapi.h"
#include "win/wincrypt_provider.h"

namespace vantor::capi {

struct ProviderImage {
    std::string name;
    DWORD type = 0;
    HMODULE module = nullptr;  // null for a built-in provider
    CRYPT_PROVIDER_FUNCTIONS functions{};
};

// The provider of that name and type (null name: the default provider of the type), loaded on
// first use and kept for the life of the process. Throws CapiError: NTE_KEYSET_NOT_DEF for an
// unknown name, NTE_PROV_TYPE_NO_MATCH for another type, NTE_PROV_DLL_NOT_FOUND when the image
// does not load, NTE_PROVIDER_DLL_FAIL when it lacks an entry point.
std::shared_ptr<const ProviderImage> findProvider(const char* name, DWORD type);

struct ProviderListing {
    std::string name;
    DWORD type = 0;
};
// Built-in and registered providers in case-insensitive name order.
std::vector<ProviderListing> listProviders();

}  // namespace vantor::capi
