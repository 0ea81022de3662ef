// Baselines for later performance work: one IRP round trip through two stacked devices, and one
// event hand-off between two platform threads in virtual time.
#include "kernel.h"

#include <benchmark/benchmark.h>

using namespace lmscr::kernel;

namespace {

struct Lower {
    PDEVICE_OBJECT device;
};

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(static_cast<Lower*>(device->DeviceExtension)->device, irp);
}

NTSTATUS NTAPI KeepIt(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

void IrpRoundTripThroughTwoDevices(benchmark::State& state) {
    Options options;
    options.changePointOneIn = 0;
    Kernel k(options);
    PDRIVER_OBJECT bottom = k.Pnp().LoadDriver("bottom", [](PDRIVER_OBJECT d, PUNICODE_STRING) NTAPI -> NTSTATUS {
        for (auto& f : d->MajorFunction) f = CompleteAtOnce;
        return STATUS_SUCCESS;
    });
    PDRIVER_OBJECT top = k.Pnp().LoadDriver("top", [](PDRIVER_OBJECT d, PUNICODE_STRING) NTAPI -> NTSTATUS {
        for (auto& f : d->MajorFunction) f = PassDown;
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT pdo, fdo;
    IoCreateDevice(bottom, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    IoCreateDevice(top, sizeof(Lower), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    static_cast<Lower*>(fdo->DeviceExtension)->device = IoAttachDeviceToDeviceStack(fdo, pdo);
    for (auto _ : state) {
        PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, KeepIt, nullptr, TRUE, TRUE, TRUE);
        benchmark::DoNotOptimize(IoCallDriver(fdo, irp));
        IoFreeIrp(irp);
    }
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
    k.Shutdown();
}
BENCHMARK(IrpRoundTripThroughTwoDevices);

void EventHandOffVirtualTime(benchmark::State& state) {
    Options options;
    options.changePointOneIn = 0;
    Kernel k(options);
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    bool stop = false;
    auto partner = k.Spawn("partner", [&] {
        for (;;) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            if (stop) return;
            KeSetEvent(&pong, 0, FALSE);
        }
    });
    for (auto _ : state) {
        KeSetEvent(&ping, 0, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    stop = true;
    KeSetEvent(&ping, 0, FALSE);
    k.Join(partner);
    // Each iteration hands the processor over twice.
    state.counters["handoff_ns"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * 2, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    k.Shutdown();
}
BENCHMARK(EventHandOffVirtualTime);

}  // namespace

BENCHMARK_MAIN();
