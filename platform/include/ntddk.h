// Kernel-mode interface for device drivers: the same subset as ntifs.h.
#pragma once
#include "ntifs.h"
