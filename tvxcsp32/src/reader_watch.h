// ReaderWatch: reports a change of the PC/SC reader list since the last look, when the provider
// key's "DetectPCSCReaderChanges" asks for it.
#pragma once

#include <string>

namespace tvx {

class ReaderWatch final {
  public:
    static ReaderWatch& instance();
    // True when the watch is enabled and the reader list differs from the remembered one (or
    // PC/SC cannot be reached); the new list is remembered.
    bool changed();
    // The comparison itself, on a listing already made (tests and the fuzz target use it).
    bool compareAndRemember(bool listed, const std::string& readers);
    void forget() { remembered_.clear(); }

  private:
    std::string remembered_;  // the multi-string with its terminators; empty when none
};

}  // namespace tvx
