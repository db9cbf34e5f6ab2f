// The plug-in's type library: version 1.0, named after the library, declaring no classes; the
// only thing its registration writes.
#include "registration.h"

#include "oleaut/typetable.h"
#include "oleaut/ustring.h"
#include "win/objbase.h"
#include "win/oleauto.h"

namespace crvk2plg {

namespace {

// {6B0E3F52-9A1C-4D7E-B8F3-2C5A7D9E1F40}
constexpr GUID kLibId = {
    0x6b0e3f52, 0x9a1c, 0x4d7e, {0xb8, 0xf3, 0x2c, 0x5a, 0x7d, 0x9e, 0x1f, 0x40}};

const vantor::ole::TypeLibTable kLibrary{
    kLibId, u"crvk2plg", u"crvk2plg 1.0 Type Library", 1, 0, 0, nullptr, 0, nullptr};

}  // namespace

HRESULT registerTypeLibrary(const std::string& modulePath) {
    ITypeLib* lib = nullptr;
    HRESULT hr = vantor::ole::GetTableTypeLib(kLibrary, &lib);
    if (FAILED(hr)) {
        return SELFREG_E_TYPELIB;
    }
    std::u16string path = vantor::ole::toUtf16(modulePath);
    hr = RegisterTypeLib(lib, path.c_str(), nullptr);
    lib->Release();
    return FAILED(hr) ? SELFREG_E_TYPELIB : S_OK;
}

HRESULT unregisterTypeLibrary() {
    // A library that was never registered is already in the state asked for.
    UnRegisterTypeLib(kLibId, kLibrary.major, kLibrary.minor, kLibrary.lcid, SYS_WIN64);
    return S_OK;
}

}  // namespace crvk2plg
