#pragma once

// The value enumerations a program chooses from. The integer values are part of
// the Python interface and never change.

#include <cstdint>
#include <string_view>

namespace ov {

enum class Codec : uint8_t { H264 = 0, H265 = 1, AV1 = 2 };
enum class FlipMode : uint8_t { Horizontal = 0, Vertical = 1, Rotate90 = 2, Rotate180 = 3, Rotate270 = 4 };
enum class ImageFormat : uint8_t { Jpeg = 0, Png = 1 };
enum class EncoderProfile : uint8_t { LowLatency = 0, Balanced = 1, HighQuality = 2 };

std::string_view plain_name(Codec codec);
std::string_view plain_name(FlipMode mode);
std::string_view plain_name(ImageFormat format);
std::string_view plain_name(EncoderProfile profile);

}  // namespace ov
