/*
 * Event codes of the driver's message table.  The driver logs the codes; the texts below are
 * what the event log shows for them (resources.cpp holds them, for the tools too).
 *
 * Layout of a code, as the platform's message compiler makes it: severity in bits 31-30
 * (3 error, 1 informational), facility in bits 27-16, message number in bits 15-0.
 */
#pragma once

#define EVENT_CANNOT_CREATE_DEVICE        ((NTSTATUS)0xC0040001)
#define EVENT_NO_MEMORY                   ((NTSTATUS)0xC0040002)
#define EVENT_CANNOT_CONNECT_TO_PORT      ((NTSTATUS)0xC0040004)
#define EVENT_TOO_MANY_DEVICES            ((NTSTATUS)0xC0040005)
#define EVENT_INCOMPATIBLE_LIBRARY        ((NTSTATUS)0x40040006)
#define EVENT_PORT_OPEN_FAILED            ((NTSTATUS)0x40040007)
#define EVENT_PORT_CONFIGURATION_FAILED   ((NTSTATUS)0x40040008)
#define EVENT_READER_NOT_ANSWERING        ((NTSTATUS)0x40040009)
#define EVENT_BUFFER_TOO_SMALL            ((NTSTATUS)0xC0100003)
