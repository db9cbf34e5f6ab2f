// The 23 provider entry points by name and type, and a caller that gives each its arguments as
// raw 64-bit patterns: the forwarder tests call every export the same way.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "win/libloaderapi.h"
#include "win/wincrypt_provider.h"

namespace vantor1test {

using Bits = std::vector<std::uint64_t>;

// An argument's value from a bit pattern, cut to the width of its type.
template <typename T>
T fromBits(std::uint64_t bits) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(static_cast<std::uintptr_t>(bits));
    } else {
        return static_cast<T>(bits);
    }
}

// An argument's bit pattern, as the stand-in provider records it (zero-extended).
template <typename T>
std::uint64_t toBits(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<std::uintptr_t>(value);
    } else {
        return static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<T>>(value));
    }
}

template <typename... A, std::size_t... I>
BOOL callWith(BOOL (*fn)(A...), const Bits& bits, std::index_sequence<I...>) {
    return fn(fromBits<A>(bits[I])...);
}

// One entry point: its name, how many arguments it takes, and a call through a module.
struct EntryPoint {
    const char* name;
    std::size_t arity;
    // Calls the export of the module; the pattern must hold arity values. Sets *found to false
    // (and returns FALSE) when the module lacks the export.
    BOOL (*call)(HMODULE module, const Bits& bits, bool* found);
    // The widths of the arguments' types, to cut a pattern as the call does.
    Bits (*cut)(const Bits& bits);
};

template <typename Fn>
struct Arity;
template <typename... A>
struct Arity<BOOL (*)(A...)> {
    static constexpr std::size_t value = sizeof...(A);
    static Bits cut(const Bits& bits) {
        std::size_t i = 0;
        return Bits{toBits(fromBits<A>(bits[i++]))...};
    }
};

template <typename Fn>
BOOL callExport(HMODULE module, const char* name, const Bits& bits, bool* found) {
    const Fn fn = ProcAs<Fn>(GetProcAddress(module, name));
    *found = fn != nullptr;
    if (fn == nullptr) {
        return FALSE;
    }
    return callWith(fn, bits, std::make_index_sequence<Arity<Fn>::value>{});
}

#define VANTOR1_ENTRY(name)                                                                      \
    EntryPoint {                                                                                 \
#name, Arity < PFN_##name> ::value,                                                      \
            [](HMODULE m, const Bits& b,                                                         \
               bool* f) { return callExport<PFN_##name>(m, #name, b, f); }, &Arity < PFN_##name> \
                                                                                ::cut            \
    }

// In the export order of the forwarding provider (alphabetical).
inline const std::vector<EntryPoint>& entryPoints() {
    static const std::vector<EntryPoint> all = {
        VANTOR1_ENTRY(CPAcquireContext),  VANTOR1_ENTRY(CPCreateHash),
        VANTOR1_ENTRY(CPDecrypt),         VANTOR1_ENTRY(CPDeriveKey),
        VANTOR1_ENTRY(CPDestroyHash),     VANTOR1_ENTRY(CPDestroyKey),
        VANTOR1_ENTRY(CPEncrypt),         VANTOR1_ENTRY(CPExportKey),
        VANTOR1_ENTRY(CPGenKey),          VANTOR1_ENTRY(CPGenRandom),
        VANTOR1_ENTRY(CPGetHashParam),    VANTOR1_ENTRY(CPGetKeyParam),
        VANTOR1_ENTRY(CPGetProvParam),    VANTOR1_ENTRY(CPGetUserKey),
        VANTOR1_ENTRY(CPHashData),        VANTOR1_ENTRY(CPHashSessionKey),
        VANTOR1_ENTRY(CPImportKey),       VANTOR1_ENTRY(CPReleaseContext),
        VANTOR1_ENTRY(CPSetHashParam),    VANTOR1_ENTRY(CPSetKeyParam),
        VANTOR1_ENTRY(CPSetProvParam),    VANTOR1_ENTRY(CPSignHash),
        VANTOR1_ENTRY(CPVerifySignature),
    };
    return all;
}

}  // namespace vantor1test
