// pavlox.so as a client meets it: registration keys, creation by ProgID through the registry,
// the module lock count, and classes that clients cannot create.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "oleaut/ustring.h"
#include "win/libloaderapi.h"
#include "win/objbase.h"
#include "win/oleauto.h"
#include "win/winreg.h"

namespace {

constexpr CLSID kVariantCollection = {
    0x42F60E08, 0xF3B4, 0x414C, {0x95, 0xF7, 0x14, 0x35, 0x62, 0x0C, 0x69, 0x04}};
constexpr CLSID kP11Session = {
    0xA4E82405, 0xA36C, 0x46BC, {0x95, 0xF9, 0x4B, 0xC6, 0x4E, 0x9C, 0x78, 0xD2}};
constexpr CLSID kP11Object = {
    0x87D27535, 0x338F, 0x4ACF, {0x81, 0xF6, 0x78, 0x4A, 0x31, 0x36, 0x29, 0x51}};

// Every key under HKEY_CLASSES_ROOT, as "path" and "path|value=data" entries.
void walk(HKEY key, const std::string& path, std::set<std::string>& out) {
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD chars = sizeof(name);
        BYTE data[1024];
        DWORD size = sizeof(data);
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &chars, nullptr, &type, data, &size) != ERROR_SUCCESS) {
            break;
        }
        std::string value =
            type == REG_SZ ? std::string(reinterpret_cast<char*>(data), size ? size - 1 : 0) : "?";
        out.insert(path + "|" + name + "=" + value);
    }
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD chars = sizeof(name);
        if (RegEnumKeyExA(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        std::string sub = path.empty() ? name : path + "\\" + name;
        out.insert(sub);
        HKEY child = nullptr;
        ASSERT_EQ(RegOpenKeyExA(key, name, 0, KEY_READ, &child), ERROR_SUCCESS);
        walk(child, sub, out);
        RegCloseKey(child);
    }
}

std::set<std::string> classesRoot() {
    std::set<std::string> keys;
    walk(HKEY_CLASSES_ROOT, "", keys);
    return keys;
}

class Server : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/vantor-pavlox-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        setenv(VANTOR_REGISTRY_DIR_ENV, dir_.c_str(), 1);
        char exe[4096];
        DWORD n = GetModuleFileNameA(nullptr, exe, sizeof(exe));
        ASSERT_GT(n, 0u);
        path_ = (std::filesystem::path(std::string(exe, n)).parent_path() / "pavlox.so").string();
        module_ = LoadLibraryA(path_.c_str());
        ASSERT_NE(module_, nullptr) << path_;
        reg_ = ProcAs<HRESULT (*)()>(GetProcAddress(module_, "DllRegisterServer"));
        unreg_ = ProcAs<HRESULT (*)()>(GetProcAddress(module_, "DllUnregisterServer"));
        canUnload_ = ProcAs<HRESULT (*)()>(GetProcAddress(module_, "DllCanUnloadNow"));
        getClassObject_ = ProcAs<LPFNGETCLASSOBJECT>(GetProcAddress(module_, "DllGetClassObject"));
        ASSERT_TRUE(reg_ && unreg_ && canUnload_ && getClassObject_);
    }
    void TearDown() override {
        if (canUnload_ != nullptr) {
            EXPECT_EQ(canUnload_(), S_OK) << "every object is gone at the end of the test";
        }
        CoFreeUnusedLibraries();
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
        unsetenv(VANTOR_REGISTRY_DIR_ENV);
        std::filesystem::remove_all(dir_);
    }

    IDispatch* create(const char16_t* progId) {
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
        IDispatch* d = nullptr;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(&d)),
                  S_OK);
        return d;
    }

    std::string dir_, path_;
    HMODULE module_ = nullptr;
    HRESULT (*reg_)() = nullptr;
    HRESULT (*unreg_)() = nullptr;
    HRESULT (*canUnload_)() = nullptr;
    LPFNGETCLASSOBJECT getClassObject_ = nullptr;
};

TEST_F(Server, RegistrationWritesExactlyItsKeysAndUnregistrationLeavesTheRoots) {
    ASSERT_EQ(reg_(), S_OK);
    std::set<std::string> keys = classesRoot();
    const std::string lib = "CLSID\\{7FF71226-8F6B-4B7D-8AE1-EE2CBA74655B}";
    for (const std::string& k : {
             std::string("Pavlox.Pkcs11Lib.1|=CPkcs11Lib Object"),
             std::string("Pavlox.Pkcs11Lib.1\\CLSID|={7FF71226-8F6B-4B7D-8AE1-EE2CBA74655B}"),
             std::string("Pavlox.Pkcs11Lib|=CPkcs11Lib Object"),
             std::string("Pavlox.Pkcs11Lib\\CurVer|=Pavlox.Pkcs11Lib.1"),
             lib + "|=CPkcs11Lib Object",
             lib + "|AppID=",
             lib + "\\ProgID|=Pavlox.Pkcs11Lib.1",
             lib + "\\VersionIndependentProgID|=Pavlox.Pkcs11Lib",
             lib + "\\Programmable",
             lib + "\\InprocServer32|=" + path_,
             lib + "\\InprocServer32|ThreadingModel=both",
             lib + "\\TypeLib|={36E45020-A1B0-454E-9F00-962369247816}",
             std::string("CLSID\\{A3405500-7950-49BC-91AC-4ADCF6B823E1}\\InprocServer32|"
                         "ThreadingModel=apartment"),
             std::string("Pavlox.VariantCollection|=CVariantCollection Object"),
             std::string("Pavlox.TokenInfo|=CTokenInfo Object"),
             std::string("Pavlox.P11Attribute|=CP11Attribute Object"),
             std::string("Pavlox.Util|=CUtil Object"),
             std::string("AppID|=Pavlox"),
             std::string("AppID\\Pavlox.DLL|AppID="),
             std::string(
                 "TypeLib\\{36E45020-A1B0-454E-9F00-962369247816}\\1.0|=Pavlox 1.0 Type Library"),
             std::string("TypeLib\\{36E45020-A1B0-454E-9F00-962369247816}\\1.0\\409\\win64|=") +
                 path_,
             std::string("Interface\\{3B06C798-A100-4D10-9265-A6ACCACAFA23}|=IVariantCollection"),
         }) {
        EXPECT_TRUE(keys.count(k)) << "missing " << k;
    }
    // The internal classes have neither ProgID nor class key.
    for (const std::string& k : keys) {
        EXPECT_EQ(k.find("A4E82405"), std::string::npos) << k;
        EXPECT_EQ(k.find("87D27535"), std::string::npos) << k;
        EXPECT_NE(k.rfind("Pavlox.P11Session", 0), 0u) << k;
        EXPECT_NE(k.rfind("Pavlox.P11Object", 0), 0u) << k;
    }
    ASSERT_EQ(reg_(), S_OK);
    EXPECT_EQ(classesRoot(), keys) << "registering again changes nothing";

    ASSERT_EQ(unreg_(), S_OK);
    EXPECT_EQ(classesRoot(), (std::set<std::string>{"AppID", "CLSID", "Interface", "TypeLib"}));
    EXPECT_EQ(unreg_(), S_OK) << "unregistering twice is harmless";
}

TEST_F(Server, UnregistrationKeepsOtherServersKeys) {
    HKEY other = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "AppID\\Other.DLL", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &other, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(other);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{00000000-1111-2222-3333-444444444444}", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &other, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(other);
    ASSERT_EQ(reg_(), S_OK);
    ASSERT_EQ(unreg_(), S_OK);
    EXPECT_EQ(classesRoot(), (std::set<std::string>{"AppID", "AppID\\Other.DLL", "CLSID",
                                                    "CLSID\\{00000000-1111-2222-3333-444444444444}",
                                                    "Interface", "TypeLib"}));
}

TEST_F(Server, ClientsCreateByProgIdAndTheModuleStaysWhileObjectsLive) {
    ASSERT_EQ(reg_(), S_OK);
    EXPECT_EQ(canUnload_(), S_OK);
    IDispatch* collection = create(u"Pavlox.VariantCollection");
    ASSERT_NE(collection, nullptr);
    EXPECT_EQ(canUnload_(), S_FALSE);

    // The collection is empty; Count by name and the default member by DISPID.
    LPOLESTR name = const_cast<LPOLESTR>(u"Count");
    DISPID id = 0;
    ASSERT_EQ(collection->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
    VARIANT r;
    VariantInit(&r);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(
        collection->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &r, nullptr, nullptr),
        S_OK);
    EXPECT_EQ(r.lVal, 0);
    VARIANT index;
    VariantInit(&index);
    index.vt = VT_I4;
    index.lVal = 1;
    DISPPARAMS one{&index, nullptr, 1, 0};
    EXCEPINFO info{};
    EXPECT_EQ(collection->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &one, &r, &info,
                                 nullptr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, E_FAIL);

    // An enumerator outlives the collection and keeps the module loaded.
    ASSERT_EQ(collection->Invoke(DISPID_NEWENUM, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &r,
                                 nullptr, nullptr),
              S_OK);
    collection->Release();
    EXPECT_EQ(canUnload_(), S_FALSE);
    CoFreeUnusedLibraries();  // must not unload a module that still has objects
    IEnumVARIANT* e = nullptr;
    ASSERT_EQ(r.punkVal->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&e)), S_OK);
    VariantClear(&r);
    VARIANT item;
    ULONG fetched = 7;
    EXPECT_EQ(e->Next(1, &item, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    e->Release();
    EXPECT_EQ(canUnload_(), S_OK);

    IDispatch* token = create(u"Pavlox.TokenInfo");
    IDispatch* lib = create(u"Pavlox.Pkcs11Lib");
    lib->Release();
    EXPECT_EQ(canUnload_(), S_FALSE) << "a token info that outlived its library";
    ITypeInfo* ti = nullptr;
    ASSERT_EQ(token->GetTypeInfo(0, 0, &ti), S_OK);
    token->Release();
    EXPECT_EQ(canUnload_(), S_FALSE) << "type information held by a client";
    ti->Release();
    EXPECT_EQ(canUnload_(), S_OK);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(
        getClassObject_(kVariantCollection, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
        S_OK);
    factory->LockServer(TRUE);
    EXPECT_EQ(canUnload_(), S_FALSE);
    factory->LockServer(FALSE);
    factory->Release();
}

TEST_F(Server, ClassesWithoutProgIdCannotBeCreated) {
    ASSERT_EQ(reg_(), S_OK);
    void* p = nullptr;
    EXPECT_EQ(CoCreateInstance(kP11Session, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(kP11Object, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              REGDB_E_CLASSNOTREG);
    // Even asking the module directly yields no factory.
    EXPECT_EQ(getClassObject_(kP11Session, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    CLSID c{};
    EXPECT_EQ(CLSIDFromProgID(u"Pavlox.P11Session", &c), CO_E_CLASSSTRING);
    ASSERT_EQ(unreg_(), S_OK);
    EXPECT_EQ(CLSIDFromProgID(u"Pavlox.Pkcs11Lib", &c), CO_E_CLASSSTRING)
        << "gone after unregistration";
}

// Activation keeps what it read from the registry only while the registry is unchanged: a
// registration or unregistration made by another process (the regsvr tool here) is seen by the
// very next activation, however often the same class was created before.
TEST_F(Server, RegistrationByAnotherProcessTakesEffectAtTheNextActivation) {
    const std::string regsvr = (std::filesystem::path(path_).parent_path() / "regsvr").string();
    ASSERT_TRUE(std::filesystem::exists(regsvr)) << regsvr;
    auto run = [&](bool unregister) {
        const pid_t child = fork();
        if (child == 0) {
            if (unregister) {
                execl(regsvr.c_str(), "regsvr", "-u", "-s", path_.c_str(), nullptr);
            } else {
                execl(regsvr.c_str(), "regsvr", "-s", path_.c_str(), nullptr);
            }
            _exit(127);
        }
        int status = -1;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    auto activate = [](const char16_t* progId) {
        CLSID clsid{};
        HRESULT hr = CLSIDFromProgID(progId, &clsid);
        IUnknown* object = nullptr;
        if (SUCCEEDED(hr)) {
            hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&object));
        }
        if (object != nullptr) {
            object->Release();
        }
        return hr;
    };
    constexpr CLSID kAttribute = {
        0x8F3536C8, 0x7D8F, 0x4DB0, {0xAF, 0xFE, 0x69, 0x47, 0x49, 0x65, 0xD9, 0x9C}};
    auto byClsid = [&] {
        IUnknown* object = nullptr;
        const HRESULT hr = CoCreateInstance(kAttribute, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                            reinterpret_cast<void**>(&object));
        if (object != nullptr) {
            object->Release();
        }
        return hr;
    };

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Unknown, and asked twice so that a remembered "not there" would be in play.
        EXPECT_EQ(activate(u"Pavlox.P11Attribute"), CO_E_CLASSSTRING);
        EXPECT_EQ(byClsid(), REGDB_E_CLASSNOTREG);
        EXPECT_EQ(activate(u"Pavlox.P11Attribute"), CO_E_CLASSSTRING);
        ASSERT_EQ(run(false), 0);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(activate(u"Pavlox.P11Attribute"), S_OK);
            EXPECT_EQ(byClsid(), S_OK);
        }
        ASSERT_EQ(run(true), 0);
        EXPECT_EQ(activate(u"Pavlox.P11Attribute"), CO_E_CLASSSTRING);
        EXPECT_EQ(byClsid(), REGDB_E_CLASSNOTREG);
    }
}

}  // namespace
