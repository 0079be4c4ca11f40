#include "media/rtp_timestamp_extension.hpp"

namespace ov::media {
namespace {

constexpr uint64_t kNanosPerSecond = 1'000'000'000;
constexpr uint64_t kFractionUnitsPerSecond = uint64_t{1} << 32;

void put_be32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

uint32_t get_be32(const uint8_t* in) {
    return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | uint32_t{in[3]};
}

}  // namespace

std::array<uint8_t, 8> encode_rtp_timestamp(uint64_t timestamp_ns) {
    // Both products stay below 2^62: the sub-second part is under 10^9 < 2^30.
    const auto seconds = static_cast<uint32_t>(timestamp_ns / kNanosPerSecond);
    const auto fraction =
        static_cast<uint32_t>((timestamp_ns % kNanosPerSecond) * kFractionUnitsPerSecond / kNanosPerSecond);
    std::array<uint8_t, 8> bytes{};
    put_be32(bytes.data(), seconds);
    put_be32(bytes.data() + 4, fraction);
    return bytes;
}

uint64_t decode_rtp_timestamp(std::span<const uint8_t, 8> bytes) {
    const uint64_t seconds = get_be32(bytes.data());
    const uint64_t fraction = get_be32(bytes.data() + 4);
    return seconds * kNanosPerSecond + fraction * kNanosPerSecond / kFractionUnitsPerSecond;
}

}  // namespace ov::media
