#pragma once

// One bin per source kind, with a single ghost pad "src".

#include "core/enums.hpp"
#include "core/source.hpp"
#include "gst/element.hpp"

namespace ov::media {

// `codec` selects depayloader, parser and decoder for RTSP, UdpRtp, UdpMpegTs
// and File; AppEncoded uses its own.
gst::ElementResult build_src_bin(const SourceKind& source, Codec codec);

// Raw video comes out of these kinds; the others deliver parsed encoded video.
bool source_is_encoded(const SourceKind& source);

}  // namespace ov::media
