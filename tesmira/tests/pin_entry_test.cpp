// The PIN entry dialogs' rules without a window: captions per mode, and the OK button's checks
// in their order with their messages, focus and field clearing.
#include <gtest/gtest.h>

#include <string>

#include "env_guard.h"
#include "pin_entry.h"

namespace tesmira {
namespace {

struct CheckRow {
    PinDialogMode mode;
    const char* oldPin;
    const char* newPin1;
    const char* newPin2;
    const char* message;  // empty: accepted
    PinField focus;
    bool clearsOld;
};

TEST(PinEntryForm, ChecksInTheirOrderWithTheModesMessages) {
    EnvGuard env({{"LANG", "en_US.UTF-8"}});
    using M = PinDialogMode;
    using F = PinField;
    const CheckRow rows[] = {
        // 1: an empty first field comes before everything else.
        {M::ChangePin, "", "12", "34", "Please enter the old PIN", F::OldPin, false},
        {M::ChangePuk, "", "", "", "Please enter the old PUK", F::OldPin, false},
        {M::Unblock, "", "", "", "Please enter the old PUK", F::OldPin, false},
        // 2: a first field over 8 characters, 1..8 in the text, before the mismatch.
        {M::ChangePin, "123456789", "1", "2",
         "Old PIN should have at least 1 and at most 8 characters", F::OldPin, true},
        {M::ChangePuk, "123456789", "", "",
         "Old PUK should have at least 1 and at most 8 characters", F::OldPin, true},
        {M::Unblock, "123456789", "", "", "The PUK should have at least 1 and at most 8 characters",
         F::OldPin, true},
        {M::ChangePin, "12345678", "", "",
         "New PIN should have at least 6 and at most 8 characters", F::NewPin1, false},
        // 3: mismatch (exact, case-sensitive) before the length of the new value.
        {M::ChangePin, "1", "abc", "abd", "The new PINs you typed do not match", F::NewPin2, false},
        {M::ChangePuk, "1", "abcdef", "ABCDEF", "The new PUKs you typed do not match", F::NewPin2,
         false},
        {M::Unblock, "1", "abcdef", "abcdeg", "The new PINs you typed do not match", F::NewPin2,
         false},
        // 4: the new value's length, 6..8.
        {M::ChangePin, "1", "12345", "12345",
         "New PIN should have at least 6 and at most 8 characters", F::NewPin1, false},
        {M::ChangePin, "1", "123456789", "123456789",
         "New PIN should have at least 6 and at most 8 characters", F::NewPin1, false},
        {M::ChangePuk, "1", "12345", "12345",
         "New PUK should have at least 6 and at most 8 characters", F::NewPin1, false},
        {M::Unblock, "1", "123456789", "123456789",
         "New PIN should have at least 6 and at most 8 characters", F::NewPin1, false},
        // Accepted at both limits, with any characters.
        {M::ChangePin, "x", "a b!é%", "a b!é%", "", F::None, false},
        {M::ChangePuk, "12345678", "87654321", "87654321", "", F::None, false},
        {M::Unblock, "1", "666666", "666666", "", F::None, false},
    };
    for (const CheckRow& row : rows) {
        SCOPED_TRACE(std::string("mode ") + std::to_string(static_cast<int>(row.mode)) + " old '" +
                     row.oldPin + "' new '" + row.newPin1 + "'/'" + row.newPin2 + "'");
        PinEntryForm form;
        form.setMode(row.mode);
        form.ApplyCaptions();
        const PinValidation v = form.Validate(row.oldPin, row.newPin1, row.newPin2, false);
        EXPECT_EQ(v.accepted, std::string(row.message).empty());
        EXPECT_EQ(v.message, row.message);
        EXPECT_EQ(v.focus, row.focus);
        EXPECT_EQ(v.clearOldPin, row.clearsOld);
        EXPECT_EQ(form.OkPressed, v.accepted) << "OK stands only once every check passed";
    }
}

TEST(PinEntryForm, TheSignatureOptionCountsOnlyWhenAccepted) {
    PinEntryForm form;
    form.ApplyCaptions();
    EXPECT_FALSE(form.Validate("1", "123", "123", true).accepted);
    EXPECT_FALSE(form.ChangingDS);
    EXPECT_TRUE(form.Validate("1", "123456", "123456", true).accepted);
    EXPECT_TRUE(form.ChangingDS);
    // Loading again clears what the last run confirmed.
    form.ApplyCaptions();
    EXPECT_FALSE(form.OkPressed);
    EXPECT_FALSE(form.ChangingDS);
    form.Validate("1", "123456", "123456", true);
    form.Cancel();
    EXPECT_FALSE(form.OkPressed);
}

TEST(PinEntryForm, CaptionsFollowTheModeWithUnblockCheckedFirst) {
    struct Row {
        bool forPuk, forUnlock;
        PinDialogCaptions expected;
    };
    const Row rows[] = {
        {false,
         false,
         {"Old PIN", "New PIN", "Repeat new PIN", "PIN Change", "Main PIN",
          "Strong Signature PIN"}},
        {true,
         false,
         {"Old PUK", "New PUK", "Repeat new PUK", "PUK Change", "Main PUK",
          "Strong Signature PUK"}},
        {false,
         true,
         {"PUK", "New PIN", "Repeat new PIN", "Unblocking PIN", "Main PIN",
          "Strong Signature PIN"}},
        {true,
         true,
         {"PUK", "New PIN", "Repeat new PIN", "Unblocking PIN", "Main PIN",
          "Strong Signature PIN"}},
    };
    EnvGuard env({{"LANG", "en_US.UTF-8"}});
    for (const Row& row : rows) {
        PinEntryForm form;
        form.ForPuk = row.forPuk;
        form.ForUnlock = row.forUnlock;
        const PinDialogCaptions c = form.ApplyCaptions();
        SCOPED_TRACE(c.caption);
        EXPECT_EQ(c.oldPinLabel, row.expected.oldPinLabel);
        EXPECT_EQ(c.newPin1Label, row.expected.newPin1Label);
        EXPECT_EQ(c.newPin2Label, row.expected.newPin2Label);
        EXPECT_EQ(c.caption, row.expected.caption);
        EXPECT_EQ(c.option0, row.expected.option0);
        EXPECT_EQ(c.option1, row.expected.option1);
    }
}

TEST(PinEntryForm, LimitsAreFilledWhereverTheTextPutsThem) {
    EXPECT_EQ(FillLimits("$max$-$min$-$min$", 6, 8), "8-6-6");
    EXPECT_EQ(FillLimits("$min$$max$", 1, 8), "18");
    EXPECT_EQ(FillLimits("none", 1, 8), "none");
}

TEST(PinEntryForm, ItalianMessagesCarryTheLimitsToo) {
    EnvGuard env({{"LANG", "it_IT.UTF-8"}});
    PinEntryForm form;
    const PinValidation v = form.Validate("1", "12345", "12345", false);
    EXPECT_EQ(v.message, "Il nuovo PIN deve avere almeno 6 e al massimo 8 caratteri");
}

}  // namespace
}  // namespace tesmira
