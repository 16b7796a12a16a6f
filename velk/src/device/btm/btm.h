// Everything the device manager uses from BTM mode.
#pragma once

#include "velk/src/device/btm/bccmd.h"
#include "velk/src/device/btm/btm_device.h"
#include "velk/src/device/btm/control.h"
#include "velk/src/device/btm/hci.h"
#include "velk/src/device/btm/pskey.h"
