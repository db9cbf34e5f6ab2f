// Text that may hold a PIN or PUK: its characters are wiped when it is replaced or destroyed.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "vantor/secure_bytes.h"

namespace tesmira {

// PINs are short enough to live in std::string's inline buffer, which no allocator sees, so
// the text wipes its own storage (inline or not) before it lets go of it.
class SecretText final {
  public:
    SecretText() = default;
    explicit SecretText(std::string_view text) : text_(text) {}
    ~SecretText() { wipe(); }
    SecretText(const SecretText& o) : text_(o.text_) {}
    SecretText& operator=(const SecretText& o) {
        if (this != &o) {
            wipe();
            text_ = o.text_;
        }
        return *this;
    }
    SecretText(SecretText&& o) noexcept : text_(o.text_) { o.wipe(); }
    SecretText& operator=(SecretText&& o) noexcept {
        if (this != &o) {
            wipe();
            text_ = o.text_;
            o.wipe();
        }
        return *this;
    }

    const std::string& str() const { return text_; }
    const char* c_str() const { return text_.c_str(); }
    std::size_t size() const { return text_.size(); }
    bool empty() const { return text_.empty(); }

    void wipe() noexcept {
        vantor::secureWipe(text_.data(), text_.capacity());
        text_.clear();
    }

  private:
    std::string text_;
};

}  // namespace tesmira
