// The one guard every flat export uses: no exception ever leaves the library.
#pragma once

#include <cstdint>
#include <new>

#include "card/result_codes.h"
#include "win/windows.h"

namespace cardolo {

// Runs body and returns its code; any exception becomes -64 (bad argument or no memory), the
// library's catch-all code, so a caller never sees an exception cross the boundary.
template <typename Body>
std::int32_t guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return kErrNothingToDo;
    }
}

}  // namespace cardolo
