// Host kernel-services layer: the subset of the Windows kernel that the driver uses, under the
// kernel's own names, types and semantics. Misuse that a driver verifier would catch aborts the
// process with a message naming the fault. The system side (loading drivers, clients, the
// registry, pool accounting) is in <ks/system.h>.
#pragma once

#ifndef VARLO_KERNEL_HOST
#define VARLO_KERNEL_HOST 1
#endif

#include "ntos/types.h"
#include "ntos/status.h"
#include "ntos/rtl.h"
#include "ntos/ke.h"
#include "ntos/ob.h"
#include "ntos/zw.h"
#include "ntos/po.h"
#include "ntos/io.h"
