// UTF-16 (OLECHAR, BSTR) <-> UTF-8 text, the "ANSI code page" of the suite on Linux.
#pragma once

#include <string>

#include "win/oleauto.h"

namespace vantor::ole {

// Ill-formed input (a lone surrogate, a bad UTF-8 sequence) becomes U+FFFD instead of failing.
std::string toUtf8(const OLECHAR* text, size_t chars);
inline std::string toUtf8(BSTR text) {
    return toUtf8(text, SysStringLen(text));
}
std::u16string toUtf16(const std::string& text);
// A new BSTR holding text (null on allocation failure).
BSTR bstrFromUtf8(const std::string& text);
BSTR bstrFromUtf16(const std::u16string& text);
// Case-insensitive comparison of ASCII letters, as Automation matches member names.
bool namesEqual(const OLECHAR* a, const OLECHAR* b);

// Owns a BSTR: freed when it goes out of scope.
class Bstr final {
  public:
    Bstr() = default;
    explicit Bstr(BSTR owned) : s_(owned) {}
    ~Bstr() { SysFreeString(s_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& o) noexcept : s_(o.s_) { o.s_ = nullptr; }
    Bstr& operator=(Bstr&& o) noexcept {
        if (this != &o) {
            SysFreeString(s_);
            s_ = o.s_;
            o.s_ = nullptr;
        }
        return *this;
    }
    BSTR get() const { return s_; }
    BSTR* out() {
        SysFreeString(s_);
        s_ = nullptr;
        return &s_;
    }
    BSTR release() {
        BSTR s = s_;
        s_ = nullptr;
        return s;
    }

  private:
    BSTR s_ = nullptr;
};

// Owns a VARIANT: cleared when it goes out of scope.
class Variant final {
  public:
    Variant() { VariantInit(&v_); }
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    VARIANT* operator->() { return &v_; }
    VARIANT detach() {
        VARIANT v = v_;
        VariantInit(&v_);
        return v;
    }

  private:
    VARIANT v_;
};

}  // namespace vantor::ole
