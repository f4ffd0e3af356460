// Kernel-mode interface for file-system drivers and filters (the subset this platform offers).
#pragma once
#define _NTIFS_

#include "nb/basetypes.h"
#include "ntstatus.h"
#include "nt/rtl.h"
#include "nt/ex.h"
#include "nt/ps.h"
#include "nt/io.h"
#if __has_include("nt/ke.h")
#include "nt/ke.h"
#endif
#if __has_include("nt/ob.h")
#include "nt/ob.h"
#endif
#if __has_include("nt/se.h")
#include "nt/se.h"
#endif
#if __has_include("nt/fastio.h")
#include "nt/fastio.h"
#endif
#if __has_include("nt/fileinfo.h")
#include "nt/fileinfo.h"
#endif
#if __has_include("nt/volinfo.h")
#include "nt/volinfo.h"
#endif
#if __has_include("nt/pnp.h")
#include "nt/pnp.h"
#endif
#if __has_include("nt/zw.h")
#include "nt/zw.h"
#endif
