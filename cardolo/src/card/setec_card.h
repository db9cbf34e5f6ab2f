// SetecCard: the generic card used by the file-system probe and the unblock operations of the
// other card families; it keeps every CardBase rule.
#pragma once

#include "card/card_base.h"

namespace cardolo {

class SetecCard : public CardBase {
  public:
    using CardBase::CardBase;
    const char* name() const override { return "Setec/43"; }
};

}  // namespace cardolo
