// RAII owners of a PC/SC context and of a reader multi-string, and the reader lookup by index
// that every export taking a reader index shares.
#pragma once

#include <cstdint>
#include <string>

#include "win/winscard.h"

namespace cardolo {

class PcscContext {
  public:
    PcscContext() = default;
    ~PcscContext() { reset(); }
    PcscContext(PcscContext&& other) noexcept : context_(other.context_) { other.context_ = 0; }
    PcscContext& operator=(PcscContext&& other) noexcept;
    PcscContext(const PcscContext&) = delete;
    PcscContext& operator=(const PcscContext&) = delete;

    // SCardEstablishContext with user scope; false on failure.
    bool establish();
    void reset();
    // Hands the context over to a caller-owned record.
    SCARDCONTEXT release() {
        SCARDCONTEXT c = context_;
        context_ = 0;
        return c;
    }
    SCARDCONTEXT get() const { return context_; }

  private:
    SCARDCONTEXT context_ = 0;
};

// The reader multi-string, allocated by PC/SC and freed with the context's SCardFreeMemory.
class ReaderList {
  public:
    explicit ReaderList(const PcscContext& context) : context_(context.get()) {}
    ~ReaderList();
    ReaderList(const ReaderList&) = delete;
    ReaderList& operator=(const ReaderList&) = delete;

    // SCardListReadersA for all readers; false on failure (no readers included).
    bool load();
    // The name of the reader with the 1-based index; empty when there is none.
    std::string nameAt(std::int32_t index) const;
    std::int32_t count() const;

  private:
    SCARDCONTEXT context_;
    char* readers_ = nullptr;
    DWORD length_ = 0;
};

// Establishes a context and finds the reader: -1 no context, -2 no list or no such reader.
// On success (0) the context stays established in context.
std::int32_t lookupReader(std::int32_t index, PcscContext& context, std::string& name);

}  // namespace cardolo
