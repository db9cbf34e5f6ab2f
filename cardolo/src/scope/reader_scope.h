// ReaderScope: the frame around every card operation. It finds the reader, connects the card
// object, holds a PC/SC transaction for the whole operation and releases everything on every
// path.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "card/card_base.h"
#include "card/m4_card.h"
#include "card/setec_card.h"
#include "scope/pcsc_context.h"

namespace cardolo {

enum class CardFamily { Corvo34v2, Setec };

// Test hook: called with the card object when a scope closes, after its secrets were wiped and
// before it is released, so a test can prove that no PIN or key is left in its buffers.
using ScopeCloseHook = void (*)(const CardBase& card);
void setScopeCloseHookForTests(ScopeCloseHook hook);

class ReaderScope {
  public:
    explicit ReaderScope(CardChannel& channel = pcscChannel()) : channel_(channel) {}
    ~ReaderScope();
    ReaderScope(const ReaderScope&) = delete;
    ReaderScope& operator=(const ReaderScope&) = delete;

    // Index check (-2 below 1), reader lookup (-1 / -2), card object creation and connection
    // (connectFailure when the card does not connect), then SCardBeginTransaction.
    std::int32_t open(std::int32_t index, CardFamily family, std::int32_t connectFailure);

    // SELECT 3F00; the Setec family retries once asking for the file control information.
    CardResult selectMf();

    CardBase& card() { return *card_.get(); }
    // The card as an M4 (only for a scope opened with CardFamily::Corvo34v2).
    M4Card& m4() { return *static_cast<M4Card*>(card_.get()); }
    const std::string& readerName() const { return reader_; }

  private:
    void close();

    CardChannel& channel_;
    PcscContext context_;
    std::string reader_;
    CardFamily family_ = CardFamily::Corvo34v2;
    CardRef card_;
    bool inTransaction_ = false;
};

}  // namespace cardolo
