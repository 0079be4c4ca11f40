#include "core/enums.hpp"

namespace ov {

std::string_view plain_name(Codec codec) {
    switch (codec) {
        case Codec::H264: return "H264";
        case Codec::H265: return "H265";
        case Codec::AV1: return "AV1";
    }
    return "H264";
}

std::string_view plain_name(FlipMode mode) {
    switch (mode) {
        case FlipMode::Horizontal: return "Horizontal";
        case FlipMode::Vertical: return "Vertical";
        case FlipMode::Rotate90: return "Rotate90";
        case FlipMode::Rotate180: return "Rotate180";
        case FlipMode::Rotate270: return "Rotate270";
    }
    return "Horizontal";
}

std::string_view plain_name(ImageFormat format) {
    return format == ImageFormat::Png ? "Png" : "Jpeg";
}

std::string_view plain_name(EncoderProfile profile) {
    switch (profile) {
        case EncoderProfile::LowLatency: return "LowLatency";
        case EncoderProfile::Balanced: return "Balanced";
        case EncoderProfile::HighQuality: return "HighQuality";
    }
    return "LowLatency";
}

}  // namespace ov
