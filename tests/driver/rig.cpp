#include "rig.h"

#include "fake_reader.h"
#include "sim/atr_card.h"

#include <cstdio>

namespace lmscr::test {

namespace {
kernel::Options KernelOptions(const RigOptions& o) {
    kernel::Options k;
    k.seed = o.seed;
    k.trace = o.trace;
    return k;
}
}  // namespace

ReaderRig::ReaderRig(RigOptions options)
    : options_(options), kernel_(std::make_unique<kernel::Kernel>(KernelOptions(options))) {
    serial_ = serial::LoadSerialDriver(*kernel_);
    serial::PortOptions portOptions;
    portOptions.forcePending = options_.forcePending;
    portOptions.acceptEmptyWaitMask = options_.acceptEmptyWaitMask;
    portOptions.completeD0AtDispatch = options_.completeD0AtDispatch;
    if (options_.fakeReader) {
        line_ = serial::CreateSimulatedLine(*kernel_, serial_, "COM1", serial::LineFormat{}, portOptions);
        fake_ = std::make_unique<FakeReader>(*line_);
    } else {
        port_ = serial::CreateSimulatedPort(*kernel_, serial_, "COM1", serial::LineFormat{}, options_.reader,
                                            portOptions);
    }
    image_ = DriverImageFromEnvironment();
    driver_ = kernel_->Pnp().LoadDriver("lmscr", image_ ? image_->Entry() : DriverEntry);
}

ReaderRig::~ReaderRig() {
    if (!finished_) Finish();
}

NTSTATUS ReaderRig::Add() { return kernel_->Pnp().AddDevice(driver_, Pdo()); }
NTSTATUS ReaderRig::Start() { return kernel_->Pnp().Start(Pdo()); }
NTSTATUS ReaderRig::AddAndStart() {
    NTSTATUS status = Add();
    return status == STATUS_SUCCESS ? Start() : status;
}

void ReaderRig::InsertCard(const std::string& atrHex) {
    auto card = sim::AtrCard::FromHex(atrHex);
    ASSERT_TRUE(card.has_value());
    port_->WithReader([&](sim::ReaderFirmware& reader) {
        reader.InsertCard(std::make_unique<sim::AtrCard>(std::move(*card)));
    });
}

void ReaderRig::RemoveCard() {
    port_->WithReader([](sim::ReaderFirmware& reader) { reader.RemoveCard(); });
}

NTSTATUS ReaderRig::Open(kernel::Handle& handle) { return kernel_->Clients().OpenDevice(Pdo(), handle); }

NTSTATUS ReaderRig::StartAndOpen(kernel::Handle& handle) {
    NTSTATUS status = AddAndStart();
    return status == STATUS_SUCCESS ? Open(handle) : status;
}

std::shared_ptr<kernel::PendingIo> ReaderRig::Async(kernel::Handle& handle, ULONG code, ULONG outputLength) {
    return kernel_->Clients().IoControlAsync(handle, code, {}, outputLength);
}

void FakeReaderTest::SetUp() {
    rig = std::make_unique<ReaderRig>(RigOptions::Seeded(kernel::Options::SeedFromEnvironment(1), true));
    ASSERT_EQ(rig->AddAndStart(), STATUS_SUCCESS);
    r = rig->Reader();
    // A start leaves nobody waiting and nothing held.
    ASSERT_EQ(r->RxCount, 0u);
    ASSERT_EQ(r->RxWanted, RX_NOBODY_WAITS);
    rig->Fake().received.clear();
}

void FakeReaderTest::TearDown() {
    rig->Finish();
    rig.reset();
}

kernel::IoResult ReaderRig::Ioctl(kernel::Handle& handle, ULONG code, std::vector<uint8_t> input,
                                  ULONG outputLength) {
    return kernel_->Clients().IoControl(handle, code, input, outputLength);
}

std::vector<std::string> ReaderRig::TakeWire() {
    Line().Trace().Flush();
    std::vector<std::string> lines = Line().Trace().Lines();
    std::vector<std::string> fresh(lines.begin() + static_cast<long>(std::min(wire_.size(), lines.size())),
                                   lines.end());
    wire_ = lines;
    return fresh;
}

kernel::Kernel::ThreadId ReaderRig::SpawnAt(const std::string& name, uint64_t delayNs, std::function<void()> body) {
    auto go = std::make_shared<KEVENT>();
    KeInitializeEvent(go.get(), NotificationEvent, FALSE);
    kernel_->At(delayNs, [go] { KeSetEvent(go.get(), IO_NO_INCREMENT, FALSE); });
    return kernel_->Spawn(name, [go, body = std::move(body)] {
        KeWaitForSingleObject(go.get(), Executive, KernelMode, FALSE, nullptr);
        body();
    });
}

bool ReaderRig::InterfaceEnabled() const { return !kernel_->Clients().EnabledInterfaces(kReaderInterface).empty(); }

std::vector<uint32_t> ReaderRig::EventCodes() const {
    std::vector<uint32_t> codes;
    for (auto& e : kernel_->EventLog()) codes.push_back(e.code);
    return codes;
}

void ReaderRig::Finish() {
    finished_ = true;
    if (Pdo()->AttachedDevice) {
        EXPECT_EQ(kernel_->Pnp().Remove(Pdo()), STATUS_SUCCESS);
    }
    kernel::LeakReport driverLeaks = kernel_->Pnp().UnloadDriver(driver_);
    EXPECT_TRUE(driverLeaks.empty()) << "the driver left behind:\n" << driverLeaks.ToString();
    port_.reset();
    fake_.reset();
    line_.reset();
    kernel::LeakReport rest = kernel_->Shutdown();
    EXPECT_TRUE(rest.empty()) << "left behind at shutdown:\n" << rest.ToString();
    if (::testing::Test::HasFailure())
        std::fprintf(stderr, "seed of this run: %llu\n", static_cast<unsigned long long>(kernel_->Seed()));
    kernel_.reset();
}

}  // namespace lmscr::test
