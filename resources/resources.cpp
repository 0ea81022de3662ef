#include "resources.h"

extern "C" {

const MESSAGE_TABLE_ENTRY MessageTable[] = {
    {0xC0040001, "EVENT_CANNOT_CREATE_DEVICE",
     "A new device cannot be created due to an system call failure.\r\n"},
    {0xC0040002, "EVENT_NO_MEMORY", "The system does not have enough memory.\r\n"},
    {0xC0040004, "EVENT_CANNOT_CONNECT_TO_PORT", "Internal error: Cannot connect to assigned serial port.\r\n"},
    {0xC0040005, "EVENT_TOO_MANY_DEVICES",
     "The maximum number of devices has already been created. \r\nA new device cannot be created.\r\n"},
    {0x40040006, "EVENT_INCOMPATIBLE_LIBRARY",
     "The version of the dependency driver smclib.sys is not compatbile to this driver.\r\n"},
    {0x40040007, "EVENT_PORT_OPEN_FAILED", "The serial port of the reader cannot be opened.\r\n"},
    {0x40040008, "EVENT_PORT_CONFIGURATION_FAILED", "The serial port of the reader cannot be set up for the reader.\r\n"},
    {0x40040009, "EVENT_READER_NOT_ANSWERING",
     "The reader does not answer, or its registers cannot be initialized.\r\n"},
    {0xC0100003, "EVENT_BUFFER_TOO_SMALL", "An internal i/o buffer is too small.\r\n"},
};

const ULONG MessageTableEntries = sizeof(MessageTable) / sizeof(MessageTable[0]);

static const VERSION_STRING VersionStrings[] = {
    {"CompanyName", "Brimvale-Omnich"},
    {"FileDescription", "Lockmeridian Serial SCR smart card reader driver"},
    {"FileVersion", "1.00.003"},
    {"InternalName", "lmscr"},
    {"OriginalFilename", "lmscr.sys"},
    {"ProductName", "Lockmeridian Serial SCR"},
    {"ProductVersion", "1.00.003"},
};

const VERSION_BLOCK VersionBlock = {
    {1, 0, 3, 0},
    {1, 0, 3, 0},
    "040904B0",
    VersionStrings,
    sizeof(VersionStrings) / sizeof(VersionStrings[0]),
};

}  // extern "C"
