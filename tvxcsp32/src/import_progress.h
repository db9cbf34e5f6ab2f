// The progress window of a certificate import: "Wait Please..." over a bar counting the
// certificates, shown only when a display is available and the token holds many certificates.
#pragma once

#include "cert_propagation.h"

#include <memory>

namespace tvx {

// Tokens with at least this many certificates show the window; fewer are done at once.
inline constexpr std::size_t kProgressThreshold = 3;

class ImportProgress final {
  public:
    ImportProgress();
    ~ImportProgress();
    ImportProgress(const ImportProgress&) = delete;
    ImportProgress& operator=(const ImportProgress&) = delete;

    // The callbacks to hand to the propagation; the window opens at start() when it may.
    PropagationProgress callbacks();

  private:
    struct Window;
    std::unique_ptr<Window> window_;
};

}  // namespace tvx
