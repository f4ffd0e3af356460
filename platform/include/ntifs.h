// Kernel-mode interface for file-system drivers and filters (the subset this platform offers).
#pragma once
#define _NTIFS_

#include "nb/basetypes.h"
#include "ntstatus.h"
#include "nt/rtl.h"
#include "nt/ex.h"
#include "nt/ps.h"
#include "nt/io.h"
#include "nt/ke.h"
#include "nt/ob.h"
#include "nt/se.h"
#include "nt/fastio.h"
#include "nt/fileinfo.h"
#include "nt/volinfo.h"
#include "nt/pnp.h"
#include "nt/zw.h"
