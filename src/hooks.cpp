// The seam's slots, all empty until a module above fills its own.
#include "hooks.h"

Hooks hooks = {};
