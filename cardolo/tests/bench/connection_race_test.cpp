// Held connections used from several threads at once: PCSC_Valid racing PCSC_Disconnect on the
// same handle must give 0 or -1, and never touch a released record or PC/SC handle.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "cardolo_bench_fixture.h"

namespace cardolo::testing {
namespace {

using ConnectionRace = CardoloBenchTest;

TEST_F(ConnectionRace, ValidDuringDisconnectSeesTheHandleAliveOrGone) {
    insert("cns");
    // Validators queue up behind each other inside PC/SC, so with several of them one has
    // usually passed the handle check but not yet reached the card handle when the disconnect
    // releases it: the moment a released record or PC/SC handle would be used (a crash, or an
    // ASan report, before the handle table kept its records alive across a check).
    constexpr int kRounds = 200;
    constexpr int kValidators = 4;
    constexpr int kChecksAfterDisconnect = 20;
    for (int round = 0; round < kRounds; ++round) {
        ReaderHandle* handle = nullptr;
        ASSERT_EQ(api.Connect(index(), &handle), 0) << "round " << round;
        std::atomic<int> started{0};
        std::atomic<bool> disconnected{false};
        std::atomic<int> unexpected{0};
        std::atomic<int> aliveAfterDisconnect{0};
        std::vector<std::thread> validators;
        for (int v = 0; v < kValidators; ++v) {
            validators.emplace_back([&] {
                bool counted = false;
                for (int after = 0; after < kChecksAfterDisconnect;) {
                    const bool gone = disconnected.load();
                    const std::int32_t r = api.Valid(handle);
                    if (!counted) {
                        counted = true;
                        started.fetch_add(1);
                    }
                    if (r != 0 && r != -1) {
                        unexpected.fetch_add(1);
                    }
                    if (gone) {
                        aliveAfterDisconnect.fetch_add(r == 0 ? 1 : 0);
                        ++after;
                    }
                }
            });
        }
        while (started.load() < kValidators) {
            std::this_thread::yield();
        }
        EXPECT_EQ(api.Disconnect(handle), 0);
        disconnected.store(true);
        for (std::thread& t : validators) {
            t.join();
        }
        ASSERT_EQ(unexpected.load(), 0) << "round " << round;
        ASSERT_EQ(aliveAfterDisconnect.load(), 0)
            << "a disconnected handle must stay refused, round " << round;
    }
    // The reader still connects afterwards: nothing was disconnected twice or left behind.
    ReaderHandle* handle = nullptr;
    ASSERT_EQ(api.Connect(index(), &handle), 0);
    EXPECT_EQ(api.Valid(handle), 0);
    EXPECT_EQ(api.Disconnect(handle), 0);
}

}  // namespace
}  // namespace cardolo::testing
