// The CRC epilogue of protocol/t1.cpp: the published check and residue of the ISO/IEC 13239
// FCS-16 (catalogued as CRC-16/IBM-SDLC, alias X-25: check 906E, residue F0B8), then every one-
// and two-byte input and blocks of every length a T=1 block can have, against a reference that
// computes the same code the other way round (most significant bit first, unreflected
// polynomial 1021, on bit-reversed bytes).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "driver.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t Reverse16(uint16_t v) {
    uint16_t r = 0;
    for (int i = 0; i < 16; ++i) r = static_cast<uint16_t>(r | (((v >> i) & 1) << (15 - i)));
    return r;
}

uint8_t Reverse8(uint8_t v) {
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i) r = static_cast<uint8_t>(r | (((v >> i) & 1) << (7 - i)));
    return r;
}

uint16_t Reference(const Bytes& bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc = static_cast<uint16_t>(crc ^ (Reverse8(b) << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return static_cast<uint16_t>(Reverse16(crc) ^ 0xFFFF);
}

uint16_t Crc(const Bytes& bytes) { return BlockCrc(bytes.data(), static_cast<ULONG>(bytes.size())); }

// The block with its epilogue, low-order byte first as the block carries it.
Bytes WithEpilogue(Bytes bytes) {
    const uint16_t crc = Crc(bytes);
    bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return bytes;
}

// Over a block and its own epilogue the register ends at the residue F0B8, whatever the block:
// complemented, 0F47.
constexpr uint16_t kResidueComplemented = 0x0F47;

TEST(BlockCrc, published_vectors) {
    struct Case {
        const char* name;
        Bytes bytes;
        uint16_t crc;
    };
    const std::string check = "123456789";
    const Case cases[] = {
        {"nothing: the preset complemented", {}, 0x0000},
        {"the catalogue's check string", Bytes(check.begin(), check.end()), 0x906E},
        {"the check string and its epilogue", {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0x6E, 0x90},
         kResidueComplemented},
    };
    for (const Case& c : cases) EXPECT_EQ(Crc(c.bytes), c.crc) << c.name;
}

TEST(BlockCrc, every_one_and_two_byte_input_agrees_with_the_reference) {
    for (unsigned a = 0; a < 256; ++a) {
        const Bytes one = {static_cast<uint8_t>(a)};
        ASSERT_EQ(Crc(one), Reference(one)) << "byte " << a;
        for (unsigned b = 0; b < 256; ++b) {
            const Bytes two = {static_cast<uint8_t>(a), static_cast<uint8_t>(b)};
            ASSERT_EQ(Crc(two), Reference(two)) << "bytes " << a << " " << b;
        }
    }
}

TEST(BlockCrc, blocks_of_every_length_agree_with_the_reference_and_end_at_the_residue) {
    // Prologue and INF: 3 to 3 + 254 bytes.
    std::mt19937 random(7816);
    for (size_t length = 3; length <= 3 + 254; ++length) {
        Bytes block(length);
        for (auto& b : block) b = static_cast<uint8_t>(random());
        ASSERT_EQ(Crc(block), Reference(block)) << "length " << length;
        ASSERT_EQ(Crc(WithEpilogue(block)), kResidueComplemented) << "length " << length;
    }
}

}  // namespace
