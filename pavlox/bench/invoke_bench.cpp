// Cost of one late-bound IDispatch::Invoke (property get Count, and Item on a 1,000-item
// collection) against the same calls made directly through the C++ vtable, in one run.
// With --check it exits non-zero when a late-bound call allocates or costs more than 20
// direct calls.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "classes/variant_collection.h"

// Allocation counter: the program's own malloc forwards to glibc's and counts while armed.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
}  // namespace

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

extern "C" void* malloc(size_t n) {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t a, size_t b) {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    return __libc_calloc(a, b);
}
extern "C" void* realloc(void* p, size_t n) {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    return __libc_realloc(p, n);
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr LONG kItems = 1000;
constexpr int kCalls = 1000000;
constexpr int kRounds = 7;

// Nanoseconds per call of body, the median of several rounds (the machine is shared).
template <typename Body>
double perCall(Body body, long& allocations) {
    std::vector<double> rounds;
    allocations = 0;
    for (int r = 0; r < kRounds; ++r) {
        g_allocations = 0;
        g_counting = true;
        auto start = Clock::now();
        for (int i = 0; i < kCalls; ++i) {
            body(i);
        }
        auto end = Clock::now();
        g_counting = false;
        allocations += g_allocations;
        rounds.push_back(std::chrono::duration<double, std::nano>(end - start).count() / kCalls);
    }
    std::sort(rounds.begin(), rounds.end());
    return rounds[rounds.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    bool check = argc > 1 && std::strcmp(argv[1], "--check") == 0;
    pavlox::CVariantCollection* collection = nullptr;
    if (FAILED(pavlox::createInternal(&collection))) {
        return 2;
    }
    for (LONG i = 1; i <= kItems; ++i) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_I4;
        v.lVal = i;
        collection->append(v);
    }
    // Volatile pointers keep the compiler from devirtualising the direct calls.
    pavlox::IVariantCollection* volatile direct = collection;
    IDispatch* volatile late = collection;
    volatile LONG sink = 0;

    long allocDirectCount = 0, allocLateCount = 0, allocDirectItem = 0, allocLateItem = 0;
    double directCount = perCall(
        [&](int) {
            LONG n = 0;
            direct->get_Count(&n);
            sink = n;
        },
        allocDirectCount);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    double lateCount = perCall(
        [&](int) {
            VARIANT r;
            r.vt = VT_EMPTY;
            late->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &r, nullptr, nullptr);
            sink = r.lVal;
        },
        allocLateCount);
    double directItem = perCall(
        [&](int i) {
            VARIANT r;
            direct->get_Item(i % kItems + 1, &r);
            sink = r.lVal;
            VariantClear(&r);
        },
        allocDirectItem);
    VARIANT index;
    VariantInit(&index);
    index.vt = VT_I4;
    DISPPARAMS one{&index, nullptr, 1, 0};
    double lateItem = perCall(
        [&](int i) {
            index.lVal = i % kItems + 1;
            VARIANT r;
            r.vt = VT_EMPTY;
            late->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &one, &r, nullptr,
                         nullptr);
            sink = r.lVal;
            VariantClear(&r);
        },
        allocLateItem);
    collection->Release();

    double countRatio = lateCount / directCount;
    double itemRatio = lateItem / directItem;
    std::printf("Count: direct %.1f ns, late-bound %.1f ns, ratio %.1fx, allocations %ld\n",
                directCount, lateCount, countRatio, allocLateCount);
    std::printf("Item (of %d): direct %.1f ns, late-bound %.1f ns, ratio %.1fx, allocations %ld\n",
                kItems, directItem, lateItem, itemRatio, allocLateItem);
    if (!check) {
        return 0;
    }
    bool ok = allocLateCount == 0 && allocLateItem == 0 && allocDirectItem == 0 &&
              countRatio <= 20.0 && itemRatio <= 20.0;
    std::printf("%s\n", ok ? "within target (no allocation, at most 20x)" : "TARGET MISSED");
    return ok ? 0 : 1;
}
