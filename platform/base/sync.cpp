// Sleep and the interlocked counters over the C++ standard library.
#include <atomic>
#include <chrono>
#include <thread>

#include "win/synchapi.h"

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// The Windows counters take plain LONG storage; std::atomic_ref gives the same atomicity
// without changing the caller's type.
LONG InterlockedIncrement(LONG volatile* value) {
    return std::atomic_ref<LONG>(*const_cast<LONG*>(value)).fetch_add(1) + 1;
}

LONG InterlockedDecrement(LONG volatile* value) {
    return std::atomic_ref<LONG>(*const_cast<LONG*>(value)).fetch_sub(1) - 1;
}

LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return std::atomic_ref<LONG>(*const_cast<LONG*>(target)).exchange(value);
}

LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    std::atomic_ref<LONG>(*const_cast<LONG*>(target)).compare_exchange_strong(comparand, exchange);
    return comparand;
}
