#include "pty_helper.h"

#include "sim/line/simulated_line.h"
#include "sim/cards/profiles.h"

namespace lmscr::ifdtest {
namespace {

class Impl : public PtyReader {
public:
    explicit Impl(std::unique_ptr<serial::PtyReader> pty) : pty_(std::move(pty)) {}
    std::string SlavePath() const override { return pty_->SlavePath(); }
    bool Insert(const std::string& profile) override {
        bool ok = false;
        pty_->WithReader([&](sim::ReaderFirmware& reader) {
            auto card = sim::cards::MakeCardProfile(profile);
            ok = card && reader.InsertCard(std::move(card));
        });
        return ok;
    }
    bool Remove() override {
        bool ok = false;
        pty_->WithReader([&](sim::ReaderFirmware& reader) { ok = reader.RemoveCard() != nullptr; });
        return ok;
    }

private:
    std::unique_ptr<serial::PtyReader> pty_;
};

}  // namespace

std::unique_ptr<PtyReader> OpenPtyReader(std::string* error) {
    auto pty = serial::OpenPtyReader(sim::ReaderConfig{}, error);
    if (!pty) return nullptr;
    return std::make_unique<Impl>(std::move(pty));
}

std::vector<uint8_t> ProfileAtr(const std::string& profile) {
    for (const auto& info : sim::cards::CardProfiles())
        if (info.name == profile) return info.atr;
    return {};
}

}  // namespace lmscr::ifdtest
