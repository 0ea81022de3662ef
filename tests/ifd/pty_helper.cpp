#include "pty_helper.h"

#include "sim/line/simulated_line.h"
#include "sim/cards/profiles.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace lmscr::ifdtest {
namespace {

class Impl : public PtyReader {
public:
    explicit Impl(std::unique_ptr<serial::PtyReader> pty) : pty_(std::move(pty)), path_(pty_->SlavePath()) {}
    std::string SlavePath() const override { return path_; }
    void Unplug() override { pty_.reset(); }
    bool Insert(const std::string& profile) override {
        bool ok = false;
        if (!pty_) return false;
        pty_->WithReader([&](sim::ReaderFirmware& reader) {
            auto card = sim::cards::MakeCardProfile(profile);
            ok = card && reader.InsertCard(std::move(card));
        });
        return ok;
    }
    bool Mute(bool muted) override {
        if (!pty_) return false;
        pty_->WithReader([&](sim::ReaderFirmware& reader) { reader.SetMuted(muted); });
        return true;
    }
    bool Remove() override {
        bool ok = false;
        if (!pty_) return false;
        pty_->WithReader([&](sim::ReaderFirmware& reader) { ok = reader.RemoveCard() != nullptr; });
        return ok;
    }

private:
    std::unique_ptr<serial::PtyReader> pty_;
    std::string path_;
};

class Silent : public SilentTty {
public:
    Silent(int master, std::string path) : master_(master), path_(std::move(path)) {}
    ~Silent() override { close(master_); }
    std::string SlavePath() const override { return path_; }

private:
    int master_;
    std::string path_;
};

}  // namespace

std::unique_ptr<PtyReader> OpenPtyReader(std::string* error) {
    auto pty = serial::OpenPtyReader(sim::ReaderConfig{}, error);
    if (!pty) return nullptr;
    return std::make_unique<Impl>(std::move(pty));
}

std::unique_ptr<SilentTty> OpenSilentTty(std::string* error) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        if (master >= 0) close(master);
        *error = "no pseudo-terminal";
        return nullptr;
    }
    return std::make_unique<Silent>(master, name);
}

std::vector<uint8_t> ProfileAtr(const std::string& profile) {
    for (const auto& info : sim::cards::CardProfiles())
        if (info.name == profile) return info.atr;
    return {};
}

}  // namespace lmscr::ifdtest
