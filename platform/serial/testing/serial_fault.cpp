// The fault filter: rules in the order they were set, each with the matching requests it has
// seen, turned into the port's verdicts (refuse: complete at once; hold for ever; hold lateMs).
#include "serial_fault.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "request_filter.h"

namespace lmscr::serial {

namespace {

bool FaultableMajor(uint8_t major) {
    return major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_READ || major == IRP_MJ_WRITE ||
           major == IRP_MJ_DEVICE_CONTROL;
}

bool Matches(const SerialFault& fault, UCHAR major, ULONG code) {
    if (fault.major != major) return false;
    return major != IRP_MJ_DEVICE_CONTROL || fault.ioControlCode == 0 || fault.ioControlCode == code;
}

class FaultFilter final : public RequestFilter {
public:
    // The port's locks held.
    FilterVerdict OnRequest(UCHAR major, ULONG code) override {
        const std::optional<SerialFault> fault = Take(major, code);
        if (!fault) return {};
        switch (fault->kind) {
        case SerialFault::Kind::Refuse: return {.action = FilterVerdict::Action::Complete, .status = fault->status};
        case SerialFault::Kind::PendForever: return {.action = FilterVerdict::Action::Hold, .forever = true};
        case SerialFault::Kind::CompleteLate:
            return {.action = FilterVerdict::Action::Hold, .delayNs = fault->lateMs * 1'000'000};
        }
        return {};
    }

    struct Rule {
        SerialFault fault;
        uint64_t seen = 0;
    };
    std::vector<Rule> rules;  // changed with the port's locks held

private:
    // Counts the request against every rule it matches and takes the rule whose turn it is, if
    // any. A rule whose turn comes while an older rule takes the request stays due for the next
    // match.
    std::optional<SerialFault> Take(UCHAR major, ULONG code) {
        std::optional<SerialFault> taken;
        for (auto it = rules.begin(); it != rules.end();) {
            if (Matches(it->fault, major, code)) {
                if (it->seen < it->fault.nth) it->seen++;
                if (!taken && it->seen >= it->fault.nth) {
                    taken = it->fault;
                    it = rules.erase(it);
                    continue;
                }
            }
            ++it;
        }
        return taken;
    }
};

// The port's fault filter, put in front of it if `create` and there is none. The port's locks held.
FaultFilter* FaultsOf(std::shared_ptr<RequestFilter>& slot, bool create) {
    if (!slot && create) slot = std::make_shared<FaultFilter>();
    if (!slot) return nullptr;
    auto* faults = dynamic_cast<FaultFilter*>(slot.get());
    if (!faults) {
        std::fprintf(stderr, "InjectSerialFault: another filter is in front of the port\n");
        std::abort();
    }
    return faults;
}

}  // namespace

void InjectSerialFault(PDEVICE_OBJECT port, const SerialFault& fault) {
    // A rule that could never take effect, or would break the I/O manager's rules, is a mistake
    // of the test that set it.
    const bool valid = FaultableMajor(fault.major) && fault.nth >= 1 &&
                       (fault.kind != SerialFault::Kind::Refuse || fault.status != STATUS_PENDING);
    if (!valid) {
        std::fprintf(stderr, "InjectSerialFault: unusable rule (major 0x%02X, nth %llu, status 0x%08X)\n",
                     fault.major, static_cast<unsigned long long>(fault.nth), static_cast<unsigned>(fault.status));
        std::abort();
    }
    EditSerialRequestFilter(port, [&fault](std::shared_ptr<RequestFilter>& slot) {
        FaultsOf(slot, true)->rules.push_back({fault, 0});
    });
}

void ClearSerialFaults(PDEVICE_OBJECT port) {
    EditSerialRequestFilter(port, [](std::shared_ptr<RequestFilter>& slot) {
        if (FaultFilter* faults = FaultsOf(slot, false)) faults->rules.clear();
    });
}

}  // namespace lmscr::serial
