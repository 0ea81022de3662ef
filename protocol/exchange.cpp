/*
 * The card exchange, whatever the protocol: the class library's transmit request handed to the
 * exchange of the protocol the card runs (t0.cpp, t1.cpp), and the mark that the T=0 and T=1
 * exchanges set around their traffic with the card, by which the receive engine ends their
 * waits at once when the card is pulled meanwhile.
 */
#include "driver.h"

extern "C" NTSTATUS Transmit(PSMARTCARD_EXTENSION SmartcardExtension) {
    switch (SmartcardExtension->CardCapabilities.Protocol.Selected) {
    case SCARD_PROTOCOL_T0: return TransmitT0(SmartcardExtension);
    case SCARD_PROTOCOL_T1: return TransmitT1(SmartcardExtension);
    case SCARD_PROTOCOL_RAW: return TransmitRaw(SmartcardExtension);
    default: return STATUS_INVALID_DEVICE_REQUEST;
    }
}

extern "C" NTSTATUS TransmitRaw(PSMARTCARD_EXTENSION SmartcardExtension) {
    /* The reader frames every card byte itself; it has no raw mode to offer. */
    UNREFERENCED_PARAMETER(SmartcardExtension);
    return STATUS_UNSUCCESSFUL;
}

static VOID MarkCardExchange(PREADER_EXTENSION ReaderExtension, BOOLEAN InProgress) {
    KIRQL irql;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    ReaderExtension->ExchangeInProgress = InProgress;
    ReaderExtension->CardRemovedInExchange = FALSE;
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
}

extern "C" VOID BeginCardExchange(PREADER_EXTENSION ReaderExtension) { MarkCardExchange(ReaderExtension, TRUE); }

extern "C" VOID EndCardExchange(PREADER_EXTENSION ReaderExtension) { MarkCardExchange(ReaderExtension, FALSE); }
