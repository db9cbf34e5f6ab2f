// Program-wide state of the manager shared by its windows.
#pragma once

#include <cstdint>

namespace tesmira {

// Counter for the default labels of imported objects; 1 at start-up.
extern std::int32_t NextObjectNumber;

}  // namespace tesmira
