#pragma once

// The bin between a source and the sinks: decode, crop, scale, frame rate,
// flip, overlay, encode, parse and payload, as the conversion needs.

#include "core/pipeline_config.hpp"
#include "gst/element.hpp"

namespace ov::media {

// Ghost pads "sink" and "src". `live` decides whether an RTP payloader
// rewrites presentation timestamps from source timestamps.
gst::ElementResult build_convert_bin(OutputKind input, OutputKind output, const PipelineConfig& config, bool live);

}  // namespace ov::media
