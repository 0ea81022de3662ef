/* The values the driver puts into the class library's record before the library sees it. */
#include "driver.h"

/* The one data rate the reader runs cards at, shared by every reader and never changed. */
static ULONG DataRatesSupported[1] = {9600};

static const char VendorName[] = "Brimvale-Omnich";
static const char IfdType[] = "Lockmeridian Serial SCR";

extern "C" VOID InitializeSmartcardExtension(PSMARTCARD_EXTENSION SmartcardExtension) {
    SmartcardExtension->Version = SMCLIB_VERSION;

    /* Both strings are reported with their final zero byte. */
    RtlCopyMemory(SmartcardExtension->VendorAttr.VendorName.Buffer, VendorName, sizeof(VendorName));
    SmartcardExtension->VendorAttr.VendorName.Length = sizeof(VendorName);
    RtlCopyMemory(SmartcardExtension->VendorAttr.IfdType.Buffer, IfdType, sizeof(IfdType));
    SmartcardExtension->VendorAttr.IfdType.Length = sizeof(IfdType);
    SmartcardExtension->VendorAttr.UnitNo = 0;
    /* The firmware version is read at start; until then the reader reports 0.0.0. */
    SmartcardExtension->VendorAttr.IfdVersion.BuildNumber = 0;
    SmartcardExtension->VendorAttr.IfdVersion.VersionMajor = 0;
    SmartcardExtension->VendorAttr.IfdVersion.VersionMinor = 0;
    SmartcardExtension->VendorAttr.IfdSerialNo.Length = 0;

    SmartcardExtension->ReaderFunction[RDF_CARD_POWER] = CardPower;
    SmartcardExtension->ReaderFunction[RDF_TRANSMIT] = Transmit;
    SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING] = CardTracking;
    SmartcardExtension->ReaderFunction[RDF_SET_PROTOCOL] = SetProtocol;
    SmartcardExtension->ReaderFunction[RDF_IOCTL_VENDOR] = VendorIoctl;

    SmartcardExtension->ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    SmartcardExtension->ReaderCapabilities.ReaderType = SCARD_READER_TYPE_SERIAL;
    SmartcardExtension->ReaderCapabilities.MechProperties = 0;
    SmartcardExtension->ReaderCapabilities.Channel = 0;
    SmartcardExtension->ReaderCapabilities.CLKFrequency.Default = 3580;
    SmartcardExtension->ReaderCapabilities.CLKFrequency.Max = 3580;
    SmartcardExtension->ReaderCapabilities.DataRate.Default = DataRatesSupported[0];
    SmartcardExtension->ReaderCapabilities.DataRate.Max = DataRatesSupported[0];
    SmartcardExtension->ReaderCapabilities.DataRatesSupported.List = DataRatesSupported;
    SmartcardExtension->ReaderCapabilities.DataRatesSupported.Entries = 1;
    SmartcardExtension->ReaderCapabilities.MaxIFSD = 254;

    SmartcardExtension->SmartcardRequest.BufferSize = 576;
    SmartcardExtension->SmartcardReply.BufferSize = 576;
}
