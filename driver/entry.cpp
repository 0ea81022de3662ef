/*
 * Where the system enters the driver: the dispatch table, one device object per serial port the
 * Plug and Play manager hands us, attached above the port and registered as a smart card reader,
 * and the way back on removal and unload.  The driver serves at most ten readers.
 */
#include "driver.h"

#include "messages.h"

/* {50DD5230-BA8A-11D1-BF5D-0000F805F530}: the platform's smart card reader interface class. */
static const GUID GUID_DEVINTERFACE_SMARTCARD_READER = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

/* Entry i is 1 while a device with DeviceInstance i exists.  The Plug and Play manager adds and
 * removes devices one at a time, and nothing else touches the table, so it needs no lock. */
UCHAR DeviceSlots[MAXIMUM_SERIAL_READERS];

/* The receive engine's view of the rest of the driver. */
extern "C" const RECEIVE_CLIENT ReaderReceiveClient = {ReportCardMoved, CloseSerialPortLater, T1WaitingTimeExtended};

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    /* A fresh load finds every slot free. */
    RtlZeroMemory(DeviceSlots, sizeof(DeviceSlots));
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS CreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT *DeviceObject) {
    *DeviceObject = NULL;

    ULONG slot = 0;
    while (slot < MAXIMUM_SERIAL_READERS && DeviceSlots[slot] != 0) slot++;
    if (slot == MAXIMUM_SERIAL_READERS) {
        SmartcardLogError(DriverObject, EVENT_TOO_MANY_DEVICES, NULL, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    DeviceSlots[slot] = 1;

    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_SMARTCARD, 0,
                                     TRUE, &device);
    if (status != STATUS_SUCCESS) {
        SmartcardLogError(DriverObject, EVENT_CANNOT_CREATE_DEVICE, NULL, 0);
        DeviceSlots[slot] = 0;
        return status;
    }
    *DeviceObject = device;

    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)device->DeviceExtension;
    deviceExtension->DeviceInstance = slot;
    KeInitializeEvent(&deviceExtension->ReaderStarted, NotificationEvent, FALSE);
    KeInitializeEvent(&deviceExtension->ReaderClosed, NotificationEvent, TRUE);
    KeInitializeEvent(&deviceExtension->SerialCloseDone, NotificationEvent, TRUE);
    KeInitializeSpinLock(&deviceExtension->SpinLock);

    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension =
        (PREADER_EXTENSION)ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), SMARTCARD_POOL_TAG);
    smartcardExtension->ReaderExtension = readerExtension;
    if (readerExtension == NULL) {
        SmartcardLogError(DriverObject, EVENT_NO_MEMORY, NULL, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(readerExtension, sizeof(READER_EXTENSION));
    readerExtension->SmartcardExtension = smartcardExtension;
    readerExtension->ReceiveClient = &ReaderReceiveClient;
    KeInitializeSpinLock(&readerExtension->RxLock);
    InitializeSmartcardExtension(smartcardExtension);

    readerExtension->CloseSerialWorkItem = IoAllocateWorkItem(device);
    readerExtension->ReadWorkItem = IoAllocateWorkItem(device);
    readerExtension->PowerWorkItem = IoAllocateWorkItem(device);
    if (readerExtension->CloseSerialWorkItem == NULL || readerExtension->ReadWorkItem == NULL ||
        readerExtension->PowerWorkItem == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    KeInitializeEvent(&readerExtension->RxEvent, NotificationEvent, FALSE);

    status = SmartcardInitialize(smartcardExtension);
    if (status == STATUS_SUCCESS) {
        smartcardExtension->OsData->DeviceObject = device;
        readerExtension->ReaderPowerState = READER_POWER_ON;
    }
    return status;
}

/*
 * RemoveDevice gives back one remove-lock reference of its caller before it waits for the
 * others.  The Plug and Play remove request holds one; a failed AddDevice and DriverUnload hold
 * none, so they take one first (a release without an acquisition would corrupt the lock's
 * count and stop the run under the verifier).
 */
static VOID RemoveDeviceWithoutReference(PDEVICE_OBJECT DeviceObject) {
    if (DeviceObject == NULL) return;
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (deviceExtension->SmartcardExtension.OsData != NULL)
        (void)SmartcardAcquireRemoveLock(&deviceExtension->SmartcardExtension);
    RemoveDevice(DeviceObject);
}

extern "C" NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = CreateDevice(DriverObject, &device);
    if (status != STATUS_SUCCESS) {
        RemoveDeviceWithoutReference(device);
        return status;
    }

    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)device->DeviceExtension;
    PREADER_EXTENSION readerExtension = deviceExtension->SmartcardExtension.ReaderExtension;
    readerExtension->AttachedSerialPort = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (readerExtension->AttachedSerialPort == NULL) {
        SmartcardLogError(DriverObject, EVENT_CANNOT_CONNECT_TO_PORT, NULL, 0);
        RemoveDeviceWithoutReference(device);
        return STATUS_UNSUCCESSFUL;
    }

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_SMARTCARD_READER, NULL,
                                       &deviceExtension->PnPDeviceName);

    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (status == STATUS_SUCCESS) return STATUS_SUCCESS;

    RemoveDeviceWithoutReference(device);
    return status;
}

extern "C" VOID RemoveDevice(PDEVICE_OBJECT DeviceObject) {
    if (DeviceObject == NULL) return;
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;

    if (smartcardExtension->OsData != NULL) {
        /* Device control waiting for a start that will not come: let it go before we wait. */
        deviceExtension->RemovePending = TRUE;
        KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
        SmartcardReleaseRemoveLockAndWait(smartcardExtension);
    }

    DeviceSlots[deviceExtension->DeviceInstance] = 0;

    StopDevice(deviceExtension);

    if (readerExtension != NULL && readerExtension->AttachedSerialPort != NULL)
        IoDetachDevice(readerExtension->AttachedSerialPort);

    if (deviceExtension->PnPDeviceName.Buffer != NULL) RtlFreeUnicodeString(&deviceExtension->PnPDeviceName);

    if (smartcardExtension->OsData != NULL) SmartcardExit(smartcardExtension);

    if (readerExtension != NULL) {
        if (readerExtension->CloseSerialWorkItem != NULL) IoFreeWorkItem(readerExtension->CloseSerialWorkItem);
        if (readerExtension->ReadWorkItem != NULL) IoFreeWorkItem(readerExtension->ReadWorkItem);
        if (readerExtension->PowerWorkItem != NULL) IoFreeWorkItem(readerExtension->PowerWorkItem);
        ExFreePool(readerExtension);
        smartcardExtension->ReaderExtension = NULL;
    }

    IoDeleteDevice(DeviceObject);
}

extern "C" VOID DriverUnload(PDRIVER_OBJECT DriverObject) {
    while (DriverObject->DeviceObject != NULL) RemoveDeviceWithoutReference(DriverObject->DeviceObject);
}
