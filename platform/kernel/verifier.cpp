// The verifier: named violations that stop the run, the driver attribution that lets the leak
// report say whose memory was left behind, and the report itself.
#include "internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace lmscr::kernel {

void Kernel::Impl::Violation(const char* name, const std::string& detail) {
    Thread* t = Current();
    std::fprintf(stderr,
                 "*** STOP 0x000000C4 DRIVER_VERIFIER_DETECTED_VIOLATION: %s\n"
                 "    %s\n"
                 "    in thread \"%s\" at t=%.3f ms, seed %llu\n",
                 name, detail.c_str(), t ? t->name.c_str() : "?",
                 static_cast<double>(NowNs()) / 1e6,
                 static_cast<unsigned long long>(options.seed));
    std::fflush(stderr);
    std::abort();
}


const char* Kernel::Impl::DriverName(PDRIVER_OBJECT driver) {
    if (!driver) return "the kernel";
    for (auto& d : drivers)
        if (d->object == driver) return d->name.c_str();
    return "an unknown driver";
}

void ReportChangedReturnState(Thread* self, KIRQL irqlBefore, int locksBefore, const char* what,
                              PDRIVER_OBJECT driver) {
    const char* driverName = K().DriverName(driver);
    if (self->spinLocksHeld != locksBefore)
        K().Violation("RETURNED_WITH_SPIN_LOCK_HELD",
                      std::string(what) + " of " + driverName + " returned holding " +
                          std::to_string(self->spinLocksHeld - locksBefore) + " spin lock(s)");
    if (self->irql != irqlBefore)
        K().Violation("RETURNED_AT_CHANGED_IRQL",
                      std::string(what) + " of " + driverName + " was called at IRQL " +
                          std::to_string(irqlBefore) + " and returned at IRQL " +
                          std::to_string(self->irql));
}

std::string Site::ToString() const {
    std::string f = file ? file : "";
    auto slash = f.find_last_of('/');
    if (slash != std::string::npos) f = f.substr(slash + 1);
    std::string out = f + ":" + std::to_string(line);
    if (function && *function) out += " (" + std::string(function) + ")";
    return out;
}

std::string LeakReport::ToString() const {
    std::string out;
    for (auto& item : items) out += "    " + item + "\n";
    return out;
}

std::string TagText(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

namespace {
bool Matches(PDRIVER_OBJECT owner, PDRIVER_OBJECT driver, bool all) {
    return all || owner == driver;
}
}  // namespace

static LeakReport Collect(const Kernel::Impl& k, PDRIVER_OBJECT driver, bool all) {
    LeakReport report;
    auto& self = const_cast<Kernel::Impl&>(k);
    // Sorted by serial so that the report reads the same in every run.
    std::vector<std::pair<uint64_t, std::string>> lines;
    for (auto& [address, block] : k.pool) {
        if (!Matches(block.owner, driver, all)) continue;
        std::ostringstream out;
        out << "pool block, tag '" << TagText(block.tag) << "', " << block.size
            << " bytes, allocated at " << block.site.ToString() << " by "
            << self.DriverName(block.owner);
        lines.emplace_back(block.serial, out.str());
    }
    for (const IrpTrack* track = k.liveTracks; track; track = track->nextLive) {
        // Freed, finished and waiting only for a call still running on another thread to let go
        // of it, or completed to the top and being finished by the I/O manager (a requested power
        // IRP whose callback has just let the test go on): its owner is done with it.
        if (track->state == IrpState::Freed || track->state == IrpState::Done || track->freePending ||
            !Matches(track->owner, driver, all))
            continue;
        std::ostringstream out;
        out << "IRP #" << track->serial << " not freed, allocated at " << track->site.ToString()
            << " by " << self.DriverName(track->owner);
        lines.emplace_back((1ull << 60) + track->serial, out.str());
    }
    for (PIO_WORKITEM item : k.workItems) {
        if (!Matches(item->owner, driver, all)) continue;
        std::ostringstream out;
        out << "work item not freed, allocated at " << item->site.ToString() << " by "
            << self.DriverName(item->owner);
        lines.emplace_back((2ull << 60) + item->serial, out.str());
    }
    for (PDEVICE_OBJECT device : k.devices) {
        auto* ext = device->DeviceObjectExtension;
        if (ext->deleted || !Matches(device->DriverObject, driver, all)) continue;
        std::ostringstream out;
        out << "device object " << ext->name << " not deleted, created at " << ext->site.ToString();
        lines.emplace_back((3ull << 60) + ext->serial, out.str());
    }
    std::sort(lines.begin(), lines.end());
    for (auto& [serial, line] : lines) report.items.push_back(line);
    return report;
}

LeakReport Kernel::Impl::LeaksOf(PDRIVER_OBJECT driver) const { return Collect(*this, driver, false); }
LeakReport Kernel::Impl::AllOutstanding() const { return Collect(*this, nullptr, true); }

}  // namespace lmscr::kernel
