/* ntddk.h - the full kernel interface; on this platform it is wdm.h. */
#ifndef LMSCR_NTDDK_H
#define LMSCR_NTDDK_H
#include "wdm.h"
#endif
