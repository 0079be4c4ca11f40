#pragma once

// Corrections to the offer that webrtcbin makes before its input has carried
// a buffer: at that time it only knows the caps of the RTP filter in front of
// it, so the H.264 format parameters are missing.

#include <gst/sdp/sdp.h>

namespace ov::whip {

// Declares packetization-mode=1 for every H.264 payload type that does not say
// otherwise. The H.264 payloader always sends in that mode (fragmentation
// units and aggregation packets), and a receiver that reads the missing
// parameter as mode 0 refuses the offer.
void declare_h264_packetization(GstSDPMessage* offer);

}  // namespace ov::whip
