// Test helper: sets the locale variables for one scope and restores the previous values after.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class LocaleEnv {
  public:
    // Clears every locale variable, then sets the given ones.
    explicit LocaleEnv(std::initializer_list<std::pair<const char*, const char*>> values) {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            unsetenv(name);
        }
        for (auto& [name, value] : values) {
            setenv(name, value, 1);
        }
    }
    ~LocaleEnv() {
        for (auto& [name, value] : saved_) {
            if (value) {
                setenv(name, value->c_str(), 1);
            } else {
                unsetenv(name);
            }
        }
    }
    LocaleEnv(const LocaleEnv&) = delete;
    LocaleEnv& operator=(const LocaleEnv&) = delete;

  private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};
