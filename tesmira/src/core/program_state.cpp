// Program-wide state of the manager.
#include "program_state.h"

namespace tesmira {

std::int32_t NextObjectNumber = 1;

}  // namespace tesmira
