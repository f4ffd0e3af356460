// Device-control code construction for user mode (CTL_CODE, methods, access, device types).
#pragma once

#include "nb/basetypes.h"
