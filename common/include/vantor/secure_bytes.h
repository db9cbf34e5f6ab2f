// Byte buffers that wipe their contents when freed: every buffer of the suite that may hold a
// PIN, a PUK, a key or a value derived from one (secure-messaging working data, attribute
// values) uses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace vantor {

// Overwrites memory in a way the optimiser may not remove.
inline void secureWipe(void* data, std::size_t size) noexcept {
    volatile std::uint8_t* p = static_cast<volatile std::uint8_t*>(data);
    for (std::size_t i = 0; p != nullptr && i < size; ++i) {
        p[i] = 0;
    }
}

template <typename T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        secureWipe(p, n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }
    template <typename U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

// A byte vector whose storage is wiped on every deallocation (growth, shrink, destruction).
// clear() and resize() down keep the storage: call wipe() to zero the live bytes too.
class SecureBytes : public std::vector<std::uint8_t, WipingAllocator<std::uint8_t>> {
  public:
    using Base = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;
    using Base::Base;
    SecureBytes() = default;
    explicit SecureBytes(std::span<const std::uint8_t> bytes) : Base(bytes.begin(), bytes.end()) {}
    SecureBytes(const std::uint8_t* bytes, std::size_t size) : Base(bytes, bytes + size) {}

    // Zeroes every byte of the capacity and empties the vector.
    void wipe() noexcept {
        secureWipe(data(), capacity());
        Base::clear();
    }
    std::span<const std::uint8_t> view() const noexcept { return {data(), size()}; }
    void append(std::span<const std::uint8_t> bytes) { insert(end(), bytes.begin(), bytes.end()); }
};

}  // namespace vantor
