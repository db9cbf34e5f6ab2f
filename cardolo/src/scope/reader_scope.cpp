// ReaderScope: open and close around one card operation.
#include "scope/reader_scope.h"

#include "card/result_codes.h"

namespace cardolo {

namespace {
ScopeCloseHook g_closeHook = nullptr;
}

void setScopeCloseHookForTests(ScopeCloseHook hook) {
    g_closeHook = hook;
}

ReaderScope::~ReaderScope() {
    close();
}

std::int32_t ReaderScope::open(std::int32_t index, CardFamily family, std::int32_t connectFailure) {
    if (index < 1) {
        return kErrNoReader;
    }
    if (std::int32_t r = lookupReader(index, context_, reader_); r != kOk) {
        return r;
    }
    family_ = family;
    CardBase* card =
        family == CardFamily::Corvo34v2
            ? static_cast<CardBase*>(new Corvo34v2Card(context_.get(), reader_, channel_))
            : static_cast<CardBase*>(new SetecCard(context_.get(), reader_, channel_));
    card_ = CardRef(card);
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    if (channel_.connect(context_.get(), reader_, &handle, &protocol) != SCARD_S_SUCCESS ||
        handle == 0) {
        return connectFailure;
    }
    card_->adopt(handle, protocol);
    // The result is not checked: a card that cannot be locked is still used, as before.
    channel_.beginTransaction(handle);
    inTransaction_ = true;
    return kOk;
}

CardResult ReaderScope::selectMf() {
    CardResult r = card_->selectFile(0x3F00, FileKind::Df);
    if (!selectionFound(r) && family_ == CardFamily::Setec) {
        std::uint16_t size = 0;
        r = card_->selectFile(0x3F00, FileKind::Df, &size);
    }
    return r;
}

void ReaderScope::close() {
    if (card_) {
        SCARDHANDLE handle = card_->detach();
        if (handle != 0) {
            // End the transaction while the card handle is still valid, then disconnect.
            if (inTransaction_) {
                channel_.endTransaction(handle);
            }
            channel_.disconnect(handle);
        }
        card_->wipeSecrets();
        if (g_closeHook != nullptr) {
            g_closeHook(*card_.get());
        }
        card_.reset();
    }
    inTransaction_ = false;
    context_.reset();
}

}  // namespace cardolo
