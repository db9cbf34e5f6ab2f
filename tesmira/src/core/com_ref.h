// A counted reference to one object of the automation library, released when it goes.
#pragma once

#include <utility>

namespace tesmira {

template <class T>
class ComRef final {
  public:
    ComRef() = default;
    // Takes over a reference the caller already holds.
    explicit ComRef(T* owned) : p_(owned) {}
    ~ComRef() { reset(); }
    ComRef(const ComRef& o) : p_(o.p_) {
        if (p_ != nullptr) {
            p_->AddRef();
        }
    }
    ComRef& operator=(const ComRef& o) {
        ComRef copy(o);
        std::swap(p_, copy.p_);
        return *this;
    }
    ComRef(ComRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComRef& operator=(ComRef&& o) noexcept {
        ComRef moved(std::move(o));
        std::swap(p_, moved.p_);
        return *this;
    }

    explicit operator bool() const { return p_ != nullptr; }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    void reset() {
        if (p_ != nullptr) {
            std::exchange(p_, nullptr)->Release();
        }
    }

  private:
    T* p_ = nullptr;
};

}  // namespace tesmira
