#pragma once

// Pieces shared by the source bin builders of source_bins*.cpp. Not part of
// the media interface.

#include <gst/gst.h>

#include <span>
#include <string>

#include "core/enums.hpp"
#include "core/source.hpp"
#include "gst/element.hpp"
#include "gst/weak_ref.hpp"

// Binds `var` to the element made by `expr`, or returns its build error from
// the enclosing builder.
#define OV_TRY_ELEMENT(var, expr)                                     \
    ::ov::gst::ElementPtr var;                                        \
    {                                                                 \
        auto var##_made = (expr);                                     \
        if (!var##_made) return var##_made.take_error();              \
        var = std::move(var##_made).value();                          \
    }

namespace ov::media::detail {

using WeakElement = gst::WeakRef<GstElement>;

// Frees a handler's state when GStreamer drops the signal closure.
template <class T>
void delete_handler_state(gpointer data, GClosure*) {
    delete static_cast<T*>(data);
}

// The text written into the link warnings for a failed pad link.
const char* link_failure_reason(GstPadLinkReturn result);

// A queue that holds at most one buffer and drops the oldest: a slow consumer
// costs frames, never latency.
gst::ElementResult make_latest_frame_queue();
gst::ElementResult make_plain_queue();
// The codec's depayloader, with automatic header extensions off so the RTP
// timestamp extension is left for our reader.
gst::ElementResult make_depayloader(Codec codec);

// Adds `chain` to `bin` in order and links it as one chain.
gst::Status add_and_link(GstElement* bin, std::span<const gst::ElementPtr> chain);
// Ghosts `last`'s "src" pad as the bin's "src" and hands the bin out.
gst::ElementResult finish_with_src(gst::ElementPtr bin, GstElement* last);

gst::ElementResult build_test_bin();
gst::ElementResult build_camera_bin(const source::Camera& camera);
gst::ElementResult build_display_bin();
gst::ElementResult build_custom_bin(const source::Custom& custom);
gst::ElementResult build_app_bin(const source::App& app);
gst::ElementResult build_app_encoded_bin(const source::AppEncoded& app);
gst::ElementResult build_app_image_bin(const source::AppImage& app);
gst::ElementResult build_rtsp_bin(const source::Rtsp& rtsp, Codec codec);
gst::ElementResult build_udp_rtp_bin(const source::UdpRtp& udp, Codec codec);
gst::ElementResult build_udp_mpegts_bin(const source::UdpMpegTs& udp, Codec codec);
gst::ElementResult build_file_bin(const source::File& file, Codec codec);
gst::ElementResult build_images_bin(const source::Images& images);

}  // namespace ov::media::detail
