// PcscContext, ReaderList and the reader lookup.
#include "scope/pcsc_context.h"

#include <cstring>

#include "card/result_codes.h"

namespace cardolo {

PcscContext& PcscContext::operator=(PcscContext&& other) noexcept {
    if (this != &other) {
        reset();
        context_ = other.context_;
        other.context_ = 0;
    }
    return *this;
}

bool PcscContext::establish() {
    reset();
    SCARDCONTEXT c = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &c) != SCARD_S_SUCCESS) {
        return false;
    }
    context_ = c;
    return true;
}

void PcscContext::reset() {
    if (context_ != 0) {
        SCardReleaseContext(context_);
        context_ = 0;
    }
}

ReaderList::~ReaderList() {
    if (readers_ != nullptr) {
        SCardFreeMemory(context_, readers_);
    }
}

bool ReaderList::load() {
    DWORD length = SCARD_AUTOALLOCATE;
    char* readers = nullptr;
    if (SCardListReadersA(context_, nullptr, reinterpret_cast<LPSTR>(&readers), &length) !=
            SCARD_S_SUCCESS ||
        readers == nullptr) {
        return false;
    }
    readers_ = readers;
    length_ = length;
    return true;
}

// Walks the multi-string by bytes, never past the length PC/SC reported.
std::string ReaderList::nameAt(std::int32_t index) const {
    if (readers_ == nullptr || index < 1) {
        return {};
    }
    DWORD pos = 0;
    for (std::int32_t i = 1; pos < length_; ++i) {
        const char* name = readers_ + pos;
        const std::size_t n = strnlen(name, length_ - pos);
        if (n == 0) {
            return {};  // the final terminator: past the last reader
        }
        if (i == index) {
            return std::string(name, n);
        }
        pos += static_cast<DWORD>(n + 1);
    }
    return {};
}

std::int32_t ReaderList::count() const {
    std::int32_t n = 0;
    while (!nameAt(n + 1).empty()) {
        ++n;
    }
    return n;
}

std::int32_t lookupReader(std::int32_t index, PcscContext& context, std::string& name) {
    if (!context.establish()) {
        return kErrNoContext;
    }
    ReaderList list(context);
    if (!list.load()) {
        return kErrNoReader;
    }
    name = list.nameAt(index);
    return name.empty() ? kErrNoReader : kOk;
}

}  // namespace cardolo
