// Test helper: sets locale variables for one scope and restores the previous values after.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class EnvGuard {
  public:
    // Clears every locale variable, then sets the given ones.
    explicit EnvGuard(std::initializer_list<std::pair<const char*, const char*>> values) {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            unsetenv(name);
        }
        for (auto& [name, value] : values) {
            setenv(name, value, 1);
        }
    }
    ~EnvGuard() {
        for (auto& [name, value] : saved_) {
            if (value) {
                setenv(name, value->c_str(), 1);
            } else {
                unsetenv(name);
            }
        }
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

  private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};
