// Module: owns one loaded PKCS#11 module, its function list and (if it made it) its initialization.
#pragma once

#include "pkcs11/pkcs11.h"
#include "win/libloaderapi.h"

#include <utility>

namespace vantor::pkcs11 {

// How a load ended.
enum class LoadStatus {
    NotLoaded,          // nothing was asked yet, or the module was unloaded
    Loaded,             // module loaded and its function list bound
    LoadFailed,         // LoadLibraryA found no loadable file
    NoFunctionList,     // the library lacks C_GetFunctionList
    FunctionListFailed  // C_GetFunctionList returned an error (rv()) or no list
};

// One module loaded by file name (LoadLibraryA rules: "x.dll" is looked for as "x.so" beside the
// program first, any other name goes to the system loader unchanged) and bound through
// C_GetFunctionList. The destructor finalizes the module only when this object initialized it,
// then frees the library; a module another component initialized is left as it was. Move-only.
// Nothing throws.
class Module final {
  public:
    Module() = default;
    explicit Module(const char* fileName) { load(fileName); }
    ~Module() { unload(); }

    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    Module(Module&& other) noexcept { *this = std::move(other); }
    Module& operator=(Module&& other) noexcept {
        if (this != &other) {
            unload();
            handle_ = std::exchange(other.handle_, nullptr);
            functions_ = std::exchange(other.functions_, nullptr);
            status_ = std::exchange(other.status_, LoadStatus::NotLoaded);
            rv_ = std::exchange(other.rv_, CKR_OK);
            initializedByUs_ = std::exchange(other.initializedByUs_, false);
        }
        return *this;
    }

    // Loads and binds, releasing whatever this object held before. True on LoadStatus::Loaded.
    bool load(const char* fileName) {
        unload();
        if (fileName == nullptr || *fileName == 0) {
            status_ = LoadStatus::LoadFailed;
            return false;
        }
        handle_ = LoadLibraryA(fileName);
        if (handle_ == nullptr) {
            status_ = LoadStatus::LoadFailed;
            return false;
        }
        const auto getList =
            ProcAs<CK_C_GetFunctionList>(GetProcAddress(handle_, "C_GetFunctionList"));
        if (getList == nullptr) {
            release(LoadStatus::NoFunctionList);
            return false;
        }
        CK_FUNCTION_LIST_PTR list = nullptr;
        rv_ = getList(&list);
        if (rv_ != CKR_OK || list == nullptr) {
            release(LoadStatus::FunctionListFailed);
            return false;
        }
        functions_ = list;
        status_ = LoadStatus::Loaded;
        return true;
    }

    // C_Initialize with the given arguments (null: no locking callbacks). Remembers success so
    // that finalize() and the destructor undo only our own initialization.
    CK_RV initialize(CK_VOID_PTR args = nullptr) {
        if (functions_ == nullptr) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        const CK_RV rv = functions_->C_Initialize(args);
        if (rv == CKR_OK) {
            initializedByUs_ = true;
        }
        return rv;
    }

    // C_Finalize when this object initialized the module; CKR_OK otherwise.
    CK_RV finalize() {
        if (functions_ == nullptr || !initializedByUs_) {
            return CKR_OK;
        }
        initializedByUs_ = false;
        return functions_->C_Finalize(nullptr);
    }

    // Finalizes (if ours) and frees the library.
    void unload() {
        finalize();
        release(LoadStatus::NotLoaded);
    }

    bool loaded() const { return functions_ != nullptr; }
    LoadStatus status() const { return status_; }
    CK_RV rv() const { return rv_; }  // C_GetFunctionList's answer when it failed
    bool initializedByUs() const { return initializedByUs_; }
    HMODULE handle() const { return handle_; }
    CK_FUNCTION_LIST_PTR functions() const { return functions_; }
    CK_FUNCTION_LIST_PTR operator->() const { return functions_; }

    // A further export of the module (control functions of a test module, for example).
    template <typename Fn>
    Fn symbol(const char* name) const {
        return handle_ == nullptr ? nullptr : ProcAs<Fn>(GetProcAddress(handle_, name));
    }

  private:
    void release(LoadStatus status) {
        functions_ = nullptr;
        initializedByUs_ = false;
        if (handle_ != nullptr) {
            FreeLibrary(handle_);
            handle_ = nullptr;
        }
        status_ = status;
    }

    HMODULE handle_ = nullptr;
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
    LoadStatus status_ = LoadStatus::NotLoaded;
    CK_RV rv_ = CKR_OK;
    bool initializedByUs_ = false;
};

// A session closed when it goes out of scope (the module must outlive it).
class Session final {
  public:
    Session() = default;
    Session(CK_FUNCTION_LIST_PTR functions, CK_SESSION_HANDLE handle)
        : functions_(functions), handle_(handle) {}
    ~Session() { close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    Session(Session&& other) noexcept { *this = std::move(other); }
    Session& operator=(Session&& other) noexcept {
        if (this != &other) {
            close();
            functions_ = std::exchange(other.functions_, nullptr);
            handle_ = std::exchange(other.handle_, CK_INVALID_HANDLE);
        }
        return *this;
    }

    // C_OpenSession with the flags the suite always uses (read-write, serial).
    CK_RV open(CK_FUNCTION_LIST_PTR functions, CK_SLOT_ID slot,
               CK_FLAGS flags = CKF_RW_SESSION | CKF_SERIAL_SESSION) {
        close();
        if (functions == nullptr) {
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
        const CK_RV rv = functions->C_OpenSession(slot, flags, nullptr, nullptr, &handle);
        if (rv == CKR_OK) {
            functions_ = functions;
            handle_ = handle;
        }
        return rv;
    }

    CK_RV close() {
        if (functions_ == nullptr || handle_ == CK_INVALID_HANDLE) {
            return CKR_OK;
        }
        const CK_RV rv = functions_->C_CloseSession(handle_);
        handle_ = CK_INVALID_HANDLE;
        functions_ = nullptr;
        return rv;
    }

    CK_SESSION_HANDLE handle() const { return handle_; }
    explicit operator bool() const { return handle_ != CK_INVALID_HANDLE; }

  private:
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
};

}  // namespace vantor::pkcs11
