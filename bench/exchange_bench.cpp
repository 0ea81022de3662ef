// Exchanges through the whole stack: the client's transmit request, the class library, the
// driver's T=0 and T=1 exchanges, the serial port, the simulated reader and card, in virtual
// time.  For each workload of tests/protocol/exchange_model.h: the virtual time of one
// exchange against the line model, and the processor time the stack spends on it.
//
//   exchange_bench [repetitions]      (1000 when not given)
//
// Under valgrind --tool=callgrind the counts are dumped once a workload, covering only its
// measured repetitions (set-up and warm-up excluded), so the instructions of one exchange can be
// read from the dump named after the workload; outside valgrind the requests do nothing.
//
// Exits with 1 when an answer is wrong or an exchange misses its model by 1 ms or more.
#include "driver.h"
#include "kernel.h"
#include "sim/line/simulated_line.h"
#include "sim/cards/profiles.h"
#include "tests/protocol/exchange_model.h"

#include <time.h>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(what)
#endif

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace lmscr;
using namespace lmscr::exchange;

namespace {

uint64_t CpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

// The reader on a simulated port with one card, started, opened and the card given its
// protocol: what tools/power.cpp sets up, without the printing.
class Session {
public:
    Session(const std::string& card, int protocol) {
        kernel::Options ko;
        ko.seed = 1;
        ko.changePointOneIn = 0;  // no preemption at switch points: a test device, not a cost
        k_ = std::make_unique<kernel::Kernel>(ko);
        serial_ = serial::LoadSerialDriver(*k_);
        port_ = serial::CreateSimulatedPort(*k_, serial_, "COM1", serial::LineFormat{}, sim::ReaderConfig{});
        driver_ = k_->Pnp().LoadDriver("lmscr", DriverEntry);
        PDEVICE_OBJECT pdo = port_->Device();
        if (!driver_ || k_->Pnp().AddDevice(driver_, pdo) != STATUS_SUCCESS || k_->Pnp().Start(pdo) != STATUS_SUCCESS ||
            k_->Clients().OpenDevice(pdo, handle_) != STATUS_SUCCESS)
            return;
        ext_ = &static_cast<PDEVICE_EXTENSION>(pdo->AttachedDevice->DeviceExtension)->SmartcardExtension;
        port_->WithReader([&](sim::ReaderFirmware& reader) { reader.InsertCard(sim::cards::MakeCardProfile(card, 1)); });
        k_->Sleep(5);
        protocol_ = protocol == 1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
        ok_ = Ulong(IOCTL_SMARTCARD_POWER, SCARD_COLD_RESET, 64) == STATUS_SUCCESS &&
              Ulong(IOCTL_SMARTCARD_SET_PROTOCOL, protocol_, 4) == STATUS_SUCCESS &&
              ext_->CardCapabilities.Protocol.Selected == protocol_;
    }

    ~Session() {
        if (handle_.IsOpen()) k_->Clients().Close(handle_);
        if (port_->Device()->AttachedDevice) k_->Pnp().Remove(port_->Device());
        kernel::LeakReport leaks = driver_ ? k_->Pnp().UnloadDriver(driver_) : kernel::LeakReport{};
        port_.reset();
        kernel::LeakReport rest = k_->Shutdown();
        if (!leaks.empty() || !rest.empty())
            std::fprintf(stderr, "left behind:\n%s%s", leaks.ToString().c_str(), rest.ToString().c_str());
    }

    bool Ok() const { return ok_; }
    uint64_t NowNs() const { return k_->NowNs(); }
    bool AtFdDd() const { return sim::SameRate(port_->Reader().CardRate(), sim::kDefaultRate); }
    // Bytes on the host line, both ways, as the port counted them.
    uint64_t HostLineBytes() const {
        const serial::PortCounters c = serial::SerialCounters(port_->Device());
        return c.bytesSent + c.bytesReceived;
    }
    uint64_t CardLineChars() const { return port_->Reader().Stats().card_line_chars; }

    // One APDU through the transmit request; false when it fails or the status is not `sw`.
    bool Transmit(const Bytes& apdu, uint16_t sw, size_t answer_bytes) {
        std::vector<uint8_t> in(8);
        const ULONG header = 8;
        std::memcpy(in.data(), &protocol_, 4);
        std::memcpy(in.data() + 4, &header, 4);
        in.insert(in.end(), apdu.begin(), apdu.end());
        const kernel::IoResult r = k_->Clients().IoControl(handle_, IOCTL_SMARTCARD_TRANSMIT, in, 8 + 258);
        if (r.status != STATUS_SUCCESS || r.information != 8 + answer_bytes) return false;
        return (r.output[r.information - 2] << 8 | r.output[r.information - 1]) == sw;
    }

private:
    NTSTATUS Ulong(ULONG code, ULONG value, ULONG outputLength) {
        std::vector<uint8_t> in(sizeof(value));
        std::memcpy(in.data(), &value, sizeof(value));
        return k_->Clients().IoControl(handle_, code, in, outputLength).status;
    }

    std::unique_ptr<kernel::Kernel> k_;
    PDRIVER_OBJECT serial_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<serial::SimulatedPort> port_;
    kernel::Handle handle_;
    PSMARTCARD_EXTENSION ext_ = nullptr;
    ULONG protocol_ = 0;
    bool ok_ = false;
};

struct Row {
    std::string id, name;
    uint64_t virtual_min_ns = UINT64_MAX, virtual_max_ns = 0;
    double model_ns = 0;
    uint64_t cpu_ns = 0, host_bytes = 0, card_chars = 0;
    unsigned runs = 0;
};

void PrintRow(const Row& r) {
    const double v = double(r.virtual_min_ns);
    const double cpu = double(r.cpu_ns) / r.runs;
    const double bytes = double(r.host_bytes) / r.runs;
    std::printf("%-7s %-16s %12.3f%s %11.3f %9.3f %10.1f %7.0f %6.0f %9.0f\n", r.id.c_str(), r.name.c_str(), v / 1e6,
                r.virtual_max_ns == r.virtual_min_ns ? " " : "*", r.model_ns / 1e6, (v - r.model_ns) / 1e3, cpu / 1e3,
                bytes, double(r.card_chars) / r.runs, cpu / bytes);
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned reps = argc > 1 ? unsigned(std::strtoul(argv[1], nullptr, 10)) : 1000;
    if (reps == 0) {
        std::fprintf(stderr, "usage: exchange_bench [repetitions > 0]\n");
        return 2;
    }
    std::printf("exchange_bench: %u repetitions a workload, virtual time, process CPU time\n\n", reps);
    std::printf("%-7s %-16s %13s %11s %9s %10s %7s %6s %9s\n", "", "exchange", "virtual ms", "model ms", "diff us",
                "CPU us/ex", "host B", "card", "CPU ns/B");
    bool failed = false;
    const std::vector<Workload> workloads = AllWorkloads();
    for (const Workload& w : workloads) {
        Session s(w.card, w.protocol);
        if (!s.Ok() || !s.AtFdDd()) {
            std::printf("%-7s the card was not powered or not given its protocol at Fd/Dd\n", w.id.c_str());
            failed = true;
            continue;
        }
        bool answers = true;
        for (const Bytes& c : w.prepare) answers &= s.Transmit(c, 0x9000, 2);
        for (const Exchange& e : w.exchanges) answers &= s.Transmit(e.command, e.sw, e.answer_data + 2);  // warm-up

        std::vector<Row> rows;
        for (const Exchange& e : w.exchanges) rows.push_back(Row{w.id, e.name, UINT64_MAX, 0, e.model.Ns(), 0, 0, 0, 0});
        Row pair{w.id, "the pair", UINT64_MAX, 0, w.Model().Ns(), 0, 0, 0, 0};
        CALLGRIND_ZERO_STATS;
        for (unsigned rep = 0; rep < reps && answers; ++rep) {
            uint64_t pair_ns = 0;
            for (size_t i = 0; i < w.exchanges.size(); ++i) {
                const Exchange& e = w.exchanges[i];
                Row& r = rows[i];
                const uint64_t bytes0 = s.HostLineBytes(), chars0 = s.CardLineChars();
                const uint64_t virtual0 = s.NowNs();
                const uint64_t cpu0 = CpuNs();
                answers &= s.Transmit(e.command, e.sw, e.answer_data + 2);
                r.cpu_ns += CpuNs() - cpu0;
                const uint64_t ns = s.NowNs() - virtual0;
                r.virtual_min_ns = std::min(r.virtual_min_ns, ns);
                r.virtual_max_ns = std::max(r.virtual_max_ns, ns);
                r.host_bytes += s.HostLineBytes() - bytes0;
                r.card_chars += s.CardLineChars() - chars0;
                ++r.runs;
                pair_ns += ns;
            }
            pair.virtual_min_ns = std::min(pair.virtual_min_ns, pair_ns);
            pair.virtual_max_ns = std::max(pair.virtual_max_ns, pair_ns);
        }
        CALLGRIND_DUMP_STATS_AT(w.id.c_str());
        if (!answers) {
            std::printf("%-7s a wrong answer from the card\n", w.id.c_str());
            failed = true;
            continue;
        }
        if (rows.size() > 1) {
            for (const Row& r : rows) {
                pair.cpu_ns += r.cpu_ns;
                pair.host_bytes += r.host_bytes;
                pair.card_chars += r.card_chars;
            }
            pair.runs = reps;
            rows.push_back(pair);
        }
        for (const Row& r : rows) {
            PrintRow(r);
            failed |= std::fabs(double(r.virtual_min_ns) - r.model_ns) >= 1e6 || r.virtual_max_ns != r.virtual_min_ns;
        }
    }
    std::printf("\nvirtual: one exchange, from the request to its completion (* when the repetitions differ)\n"
                "model: the line model's sum; diff = virtual - model.  Several send-card-data commands (W2) count\n"
                "the first one's host bytes only: the others wait in the reader's FIFO while the card line runs,\n"
                "which has no pause from the first character to the last, so the model is the line's bound\n"
                "CPU: process CPU time per exchange over the repetitions, set-up excluded; host B: bytes on\n"
                "the host line both ways per exchange (the port's count); card: characters on the card line;\n"
                "CPU ns/B: CPU time per host-line byte\n");

    for (const Workload& w : workloads) {
        std::printf("\n%s  %s  (card \"%s\", T=%d, %s)\n", w.id.c_str(), w.what.c_str(), w.card.c_str(), w.protocol,
                    w.rate.c_str());
        for (const Exchange& e : w.exchanges) {
            if (w.exchanges.size() > 1) std::printf("  %s\n", e.name.c_str());
            for (const Term& t : e.model.terms) {
                const char* unit = t.unit == Unit::HostByte ? "host B" : t.unit == Unit::Etu ? "etu" : "ns";
                std::printf("    %10.3f ms  %8.1f %-6s  %s\n", t.Ns() / 1e6, t.unit == Unit::Ns ? t.count / 1e6 : t.count,
                            t.unit == Unit::Ns ? "ms" : unit, t.what.c_str());
            }
            std::printf("    %10.3f ms  = %.0f host bytes x %.3f us + %.0f etu x %.3f us%s\n", e.model.Ns() / 1e6,
                        e.model.Count(Unit::HostByte), kHostByteNs / 1e3, e.model.Count(Unit::Etu), kEtuNs / 1e3,
                        e.model.Count(Unit::Ns) != 0 ? " + the rest in ms" : "");
        }
    }
    if (failed) std::printf("\nexchange_bench: FAILED (a wrong answer, or virtual time off the model by 1 ms or more)\n");
    return failed ? 1 : 0;
}
