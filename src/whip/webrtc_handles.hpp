#pragma once

// Owning handles for SDP messages, WebRTC session descriptions, structures
// and promises, on the same template as every other GStreamer handle.

#ifndef GST_USE_UNSTABLE_API
#define GST_USE_UNSTABLE_API  // the WebRTC library declares its API unstable
#endif

#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include "gst/handle.hpp"

namespace ov::whip {

struct SessionDescriptionTraits {
    static GstWebRTCSessionDescription* ref(GstWebRTCSessionDescription* p) {
        return gst_webrtc_session_description_copy(p);
    }
    static void unref(GstWebRTCSessionDescription* p) { gst_webrtc_session_description_free(p); }
};

struct SdpMessageTraits {
    static void unref(GstSDPMessage* p) { gst_sdp_message_free(p); }
};

struct StructureTraits {
    static GstStructure* ref(GstStructure* p) { return gst_structure_copy(p); }
    static void unref(GstStructure* p) { gst_structure_free(p); }
};

using SessionDescriptionPtr = gst::Handle<GstWebRTCSessionDescription, SessionDescriptionTraits>;
using SdpMessagePtr = gst::Handle<GstSDPMessage, SdpMessageTraits>;
using StructurePtr = gst::Handle<GstStructure, StructureTraits>;
using PromisePtr = gst::MiniPtr<GstPromise>;

}  // namespace ov::whip
