// A loadable image that exports none of the provider entry points: the forwarder finds the
// library but not the names it looks up.
#include "win/windef.h"

VANTOR_EXPORT int VantorEmptyImage() {
    return 0;
}
