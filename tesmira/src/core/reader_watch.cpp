// The polling tick, in its fixed order: reader list, current card, then the readers one by one.
#include "reader_watch.h"

#include <array>

#include "cardolo_library.h"
#include "runtime_error.h"

namespace tesmira {

namespace {

constexpr std::uint32_t kReaderListChars = 2048;
constexpr std::uint32_t kAtrChars = 255;

}  // namespace

ReaderWatch::ReaderWatch(CardoloLibrary& cardolo, const AtrTable& atrTable, CardView& view,
                         Pkcs11LibFactory createLib)
    : env_{cardolo, atrTable, libs_, nullptr},
      view_(view),
      createLib_(std::move(createLib)),
      card_(std::make_unique<SmartCardCls>(env_)) {}

void ReaderWatch::ReplaceCard() {
    // The old model disconnects before the new one exists, as a released card would.
    card_.reset();
    card_ = std::make_unique<SmartCardCls>(env_);
}

void ReaderWatch::Tick() {
    if (busy || ticking_) {
        return;
    }
    ticking_ = true;
    try {
        Scan();
    } catch (const RuntimeError&) {
        // A missing card library or export: the tick simply ends.
    }
    ticking_ = false;
}

void ReaderWatch::Scan() {
    std::array<char, kReaderListChars + 1> list{};
    std::uint32_t length = kReaderListChars;
    if (env_.cardolo.GetReadersList(list.data(), &length) != 0) {
        return;
    }
    std::string readers(list.data(), std::min(length, kReaderListChars));
    if (readers != lastReaderList_) {
        ReplaceCard();
        lastReaderList_ = std::move(readers);
        LoadPkcs11Libraries(libs_, env_.atrTable, createLib_);
        ++reloads_;
    }

    if (card_->Valid()) {
        return;
    }

    std::int32_t count = 0;
    if (env_.cardolo.GetReadersCount(&count) != 0) {
        return;
    }
    for (std::int32_t i = 1; i <= count; ++i) {
        std::array<char, kAtrChars + 1> atr{};
        std::uint32_t atrLength = kAtrChars;
        if (env_.cardolo.GetATR(i, atr.data(), &atrLength) != 0) {
            continue;
        }
        std::int32_t result = 0;
        view_.SetWaitCursor(true);
        try {
            card_->Init(i, &result);
        } catch (...) {
            view_.SetWaitCursor(false);
            throw;
        }
        view_.SetWaitCursor(false);
        if (result != 0) {
            continue;
        }
        view_.ShowCard();
        if (!card_->TokenNeedsInitialization()) {
            return;
        }
        if (loading) {
            ReplaceCard();
            continue;
        }
        if (view_.AskInitializePin()) {
            card_->InitTokenPin(&result);
        }
        return;
    }
    ReplaceCard();
    view_.ShowNoCard();
}

}  // namespace tesmira
