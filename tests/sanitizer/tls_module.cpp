// A library whose only data is a thread_local block, loaded by tls_block_probe.
#include <cstddef>

namespace {
// Small enough for the allocator's minimum redzone, so that its chunks can start 16 bytes into
// a page (one chunk in 64 of this size does).
thread_local char block[40];
}  // namespace

extern "C" __attribute__((visibility("default"))) char* VantorTlsBlock() {
    return block;
}
