#pragma once

// The RTP header extension that carries a source timestamp: one-byte header
// extension, identifier 1, 8 bytes laid out as an NTP timestamp whose seconds
// count from the Unix epoch.

#include <array>
#include <cstdint>
#include <span>

namespace ov::media {

inline constexpr uint8_t kRtpTimestampExtensionId = 1;

std::array<uint8_t, 8> encode_rtp_timestamp(uint64_t timestamp_ns);
uint64_t decode_rtp_timestamp(std::span<const uint8_t, 8> bytes);

}  // namespace ov::media
