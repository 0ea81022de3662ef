// Virtual time simulated per real second: 10 000 bytes through the simulated line at 19200
// baud, echoed back by the peer, read in 100-byte reads. Prints the numbers; not a test.
#include <chrono>
#include <cstdio>
#include <vector>

#include "kernel.h"
#include "sim/line/simulated_line.h"

using namespace lmscr;

int main() {
    constexpr size_t kBytes = 10'000;
    kernel::Kernel k;
    PDRIVER_OBJECT driver = serial::LoadSerialDriver(k);
    auto line = serial::CreateSimulatedLine(k, driver, "COM1", serial::LineFormat{});
    line->SetPeerReceive([&](uint8_t b, uint32_t) { line->PeerSend(b); });
    k.Pnp().Start(line->Device());
    kernel::Handle h;
    k.Clients().OpenDevice(line->Device(), h);
    SERIAL_BAUD_RATE baud{19200};
    SERIAL_TIMEOUTS t{50, 0, 1000, 0, 0};
    k.Clients().IoControl(h, IOCTL_SERIAL_SET_BAUD_RATE, {reinterpret_cast<uint8_t*>(&baud), 4}, 0);
    k.Clients().IoControl(h, IOCTL_SERIAL_SET_TIMEOUTS, {reinterpret_cast<uint8_t*>(&t), 20}, 0);
    std::vector<uint8_t> data(kBytes);
    for (size_t i = 0; i < kBytes; ++i) data[i] = static_cast<uint8_t>(i * 7);
    const auto wall0 = std::chrono::steady_clock::now();
    const uint64_t v0 = k.NowNs();
    auto writer = k.Spawn("writer", [&] { k.Clients().Write(h, data); });
    size_t got = 0, bad = 0;
    while (got < kBytes) {
        kernel::IoResult r = k.Clients().Read(h, 100);
        if (r.information == 0) break;
        for (size_t i = 0; i < r.information; ++i) bad += r.output[i] != data[got + i];
        got += r.information;
    }
    k.Join(writer);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double virt = static_cast<double>(k.NowNs() - v0) / 1e9;
    std::printf("bytes echoed: %zu (mismatches %zu)\nvirtual: %.3f s\nreal: %.3f s\nvirtual per real second: %.0f s\n",
                got, bad, virt, wall, virt / wall);
    k.Clients().Close(h);
    line.reset();
    auto leaks = k.Shutdown();
    return leaks.empty() && got == kBytes && bad == 0 ? 0 : 1;
}
