// What every fuzz target shares: a reader of the fuzzer's bytes and the way a broken oracle ends
// the run (an abort, which libFuzzer reports as a crash and keeps the input of).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace lmscr::fuzz {

using Bytes = std::vector<uint8_t>;

[[noreturn]] inline void Fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz finding: %s\n%s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

inline std::string Hex(const Bytes& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

// Reads the fuzzer's bytes front to back; past the end everything reads as zero.
class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool Empty() const { return p_ >= end_; }
    size_t Left() const { return static_cast<size_t>(end_ - p_); }
    uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
    uint16_t U16() {
        const uint16_t lo = Byte();
        return static_cast<uint16_t>(lo | (Byte() << 8));
    }
    uint32_t U32() {
        const uint32_t lo = U16();
        return lo | (static_cast<uint32_t>(U16()) << 16);
    }
    Bytes Take(size_t n) {
        n = std::min(n, Left());
        Bytes out(p_, p_ + n);
        p_ += n;
        return out;
    }
    Bytes Rest() { return Take(Left()); }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

}  // namespace lmscr::fuzz
