// Test helper: points the registry at a fresh private directory for one test and removes it
// after, so no test reads or writes the user's real settings.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "win/winreg.h"

class RegistrySandbox {
  public:
    RegistrySandbox() {
        if (const char* old = std::getenv(VANTOR_REGISTRY_DIR_ENV)) {
            saved_ = old;
        }
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tesmira-registry-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            dir_ = pattern;
            setenv(VANTOR_REGISTRY_DIR_ENV, dir_.c_str(), 1);
        }
    }
    ~RegistrySandbox() {
        if (saved_) {
            setenv(VANTOR_REGISTRY_DIR_ENV, saved_->c_str(), 1);
        } else {
            unsetenv(VANTOR_REGISTRY_DIR_ENV);
        }
        std::error_code ec;
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_, ec);
        }
    }
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;
    bool ready() const { return !dir_.empty(); }

  private:
    std::string dir_;
    std::optional<std::string> saved_;
};
