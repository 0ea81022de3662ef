/*
 * The driver's resources: the message table (event code and text) and the version block, as
 * data.  The driver logs only the codes (messages.h); the texts are for whoever shows the log.
 */
#pragma once

#include <wdm.h>

#include "messages.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _MESSAGE_TABLE_ENTRY {
    ULONG Code;
    PCSTR Symbol;
    PCSTR Text; /* exactly as the event log shows it, line ends included */
} MESSAGE_TABLE_ENTRY;

extern const MESSAGE_TABLE_ENTRY MessageTable[];
extern const ULONG MessageTableEntries;

typedef struct _VERSION_STRING {
    PCSTR Name;
    PCSTR Value;
} VERSION_STRING;

typedef struct _VERSION_BLOCK {
    USHORT FileVersion[4]; /* fixed fields, most significant first */
    USHORT ProductVersion[4];
    PCSTR Translation; /* language and code page */
    const VERSION_STRING *Strings;
    ULONG StringCount;
} VERSION_BLOCK;

extern const VERSION_BLOCK VersionBlock;

#ifdef __cplusplus
}
#endif
