// The simulated reader behind a pseudo-terminal, for the handler's tests, in plain types: the
// tests include pcsc-lite's headers, which clash with the kernel's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lmscr::ifdtest {

class PtyReader {
public:
    virtual ~PtyReader() = default;
    virtual std::string SlavePath() const = 0;
    virtual bool Insert(const std::string& profile) = 0;
    virtual bool Remove() = 0;
    // The reader's end of the pseudo-terminal closed, as a cable pulled with the adapter.
    virtual void Unplug() = 0;
    // A muted reader ignores the host and sends nothing, the line still up.
    virtual bool Mute(bool muted) = 0;
};

// A pseudo-terminal with nothing behind it: a port where no reader ever answers.
class SilentTty {
public:
    virtual ~SilentTty() = default;
    virtual std::string SlavePath() const = 0;
};
std::unique_ptr<SilentTty> OpenSilentTty(std::string* error);

// Nothing, with the reason in `error`, when no pseudo-terminal could be had.
std::unique_ptr<PtyReader> OpenPtyReader(std::string* error);
// A card profile's ATR (sim/cards/profiles.h); empty for an unknown name.
std::vector<uint8_t> ProfileAtr(const std::string& profile);

}  // namespace lmscr::ifdtest
