#include "media/source_bins.hpp"

#include <fmt/format.h>

#include <cstdlib>
#include <random>
#include <string_view>

#include "gst/caps.hpp"
#include "media/codec_elements.hpp"
#include "media/source_bins_internal.hpp"
#include "media/timestamp_probes.hpp"

namespace ov::media {
namespace detail {

const char* link_failure_reason(GstPadLinkReturn result) {
    switch (result) {
        case GST_PAD_LINK_WRONG_HIERARCHY: return "Pads have no common grandparent";
        case GST_PAD_LINK_WAS_LINKED: return "Pad was already linked";
        case GST_PAD_LINK_WRONG_DIRECTION: return "Pads have wrong direction";
        case GST_PAD_LINK_NOFORMAT: return "Pads do not have common format";
        case GST_PAD_LINK_NOSCHED: return "Pads cannot cooperate in scheduling";
        default: return "Refused for some other reason";
    }
}

gst::ElementResult make_latest_frame_queue() {
    return gst::make_element({"queue", std::nullopt, {{"leaky", gst::FromString{"2"}}, {"max-size-buffers", 1u}}});
}

gst::ElementResult make_plain_queue() { return gst::make_element({"queue", std::nullopt, {}}); }

gst::ElementResult make_depayloader(Codec codec) {
    OV_TRY_ELEMENT(depayloader, gst::make_element({codec_names(codec).depayloader, std::nullopt, {}}));
    if (gst::has_property(depayloader.get(), "auto-header-extension")) {
        gst::set_property(depayloader.get(), "auto-header-extension", false);
    }
    return depayloader;
}

gst::Status add_and_link(GstElement* bin, std::span<const gst::ElementPtr> chain) {
    if (auto error = gst::add_elements(bin, chain)) return error;
    return gst::link_chain(chain);
}

gst::ElementResult finish_with_src(gst::ElementPtr bin, GstElement* last) {
    if (auto error = gst::expose_pad(bin.get(), gst::required_pad(last, "src").get())) return *error;
    return bin;
}

gst::ElementResult build_test_bin() {
    // A number per bin tells apart the pictures of streams that run side by side.
    thread_local std::mt19937 random{std::random_device{}()};
    const uint32_t stream_number = 1000 + std::uniform_int_distribution<uint32_t>(0, 8998)(random);

    gst::ElementPtr bin = gst::make_bin("src_bin");
    OV_TRY_ELEMENT(source, gst::make_element({"videotestsrc",
                                              std::nullopt,
                                              {{"is-live", gst::FromString{"true"}},
                                               {"do-timestamp", gst::FromString{"true"}}}}));
    OV_TRY_ELEMENT(overlay, gst::make_element({"timeoverlay",
                                               std::nullopt,
                                               {{"text", fmt::format("Stream #{}", stream_number)},
                                                {"time-mode", gst::FromString{"3"}}}}));
    OV_TRY_ELEMENT(queue, make_latest_frame_queue());
    const gst::ElementPtr chain[] = {source, overlay, queue};
    if (auto error = add_and_link(bin.get(), chain)) return *error;
    stamp_from_pts(queue.get());
    return finish_with_src(std::move(bin), queue.get());
}

gst::ElementResult build_camera_bin(const source::Camera& camera) {
    gst::ElementPtr bin = gst::make_bin("src_bin");
    std::vector<gst::ElementPtr> chain;
    const std::string device = fmt::format("/dev/video{}", camera.device_index);
    OV_TRY_ELEMENT(v4l2, gst::make_element({"v4l2src", std::nullopt, {{"device", device}}}));
    chain.push_back(std::move(v4l2));
    if (camera.resolution) {
        OV_TRY_ELEMENT(scale, gst::make_element({"videoscale", std::nullopt, {}}));
        const auto caps = gst::make_caps("video/x-raw", {{"width", static_cast<int32_t>(camera.resolution->width)},
                                                         {"height", static_cast<int32_t>(camera.resolution->height)}});
        OV_TRY_ELEMENT(filter, gst::make_element({"capsfilter", std::nullopt, {{"caps", caps}}}));
        chain.push_back(std::move(scale));
        chain.push_back(std::move(filter));
    }
    OV_TRY_ELEMENT(queue, make_latest_frame_queue());
    chain.push_back(queue);
    if (auto error = add_and_link(bin.get(), chain)) return *error;
    stamp_from_pts(queue.get());
    return finish_with_src(std::move(bin), queue.get());
}

gst::ElementResult build_display_bin() {
    // ximagesrc needs an X server; under Wayland it would capture nothing useful.
    const char* session = std::getenv("XDG_SESSION_TYPE");
    if (session == nullptr || std::string_view(session) != "x11") {
        return OV_BUILD_ERROR("screen capture requires an X11 session — Wayland is not yet supported");
    }
    gst::ElementPtr bin = gst::make_bin("src_bin");
    OV_TRY_ELEMENT(capture, gst::make_element({"ximagesrc", std::nullopt, {{"do-timestamp", true}}}));
    OV_TRY_ELEMENT(convert, gst::make_element({"videoconvert", std::nullopt, {{"n-threads", 2u}}}));
    OV_TRY_ELEMENT(queue, make_latest_frame_queue());
    const gst::ElementPtr chain[] = {capture, convert, queue};
    if (auto error = add_and_link(bin.get(), chain)) return *error;
    stamp_from_pts(queue.get());
    return finish_with_src(std::move(bin), queue.get());
}

namespace {

bool is_parser(GstElement* element) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (factory == nullptr) return false;
    const std::string_view name = GST_OBJECT_NAME(factory);
    return name.ends_with("parse");
}

bool src_pad_free(GstElement* element) {
    const gst::PadPtr src = gst::static_pad(element, "src");
    return src && !gst_pad_is_linked(src.get());
}

// The parser whose output the description leaves open. The iterator walks the
// bin from the most recently added element, i.e. from the description's end.
gst::ElementPtr find_last_parser(GstElement* bin) {
    gst::ElementPtr found;
    GstIterator* iterator = gst_bin_iterate_elements(GST_BIN(bin));
    GValue item = G_VALUE_INIT;
    bool done = false;
    while (!done) {
        switch (gst_iterator_next(iterator, &item)) {
            case GST_ITERATOR_OK: {
                auto* element = GST_ELEMENT(g_value_get_object(&item));
                if (is_parser(element)) {
                    if (src_pad_free(element)) {
                        found = gst::ElementPtr::ref(element);
                        done = true;
                    } else if (!found) {
                        found = gst::ElementPtr::ref(element);
                    }
                }
                g_value_reset(&item);
                break;
            }
            case GST_ITERATOR_RESYNC:
            case GST_ITERATOR_ERROR:
            case GST_ITERATOR_DONE: done = true; break;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(iterator);
    return found;
}

}  // namespace

gst::ElementResult build_custom_bin(const source::Custom& custom) {
    GError* raw_error = nullptr;
    gst::ElementPtr bin =
        gst::ElementPtr::ref(gst_parse_bin_from_description(custom.description.c_str(), FALSE, &raw_error));
    const gst::ErrorPtr error = gst::ErrorPtr::take(raw_error);
    // Without fatal-error flags the parser may hand out a partial bin along
    // with the error (an unknown element, say); such a bin is not what was asked for.
    if (error || !bin) {
        return OV_BUILD_ERROR(
            fmt::format("Failed to parse pipeline description: {}", error ? error->message : "unknown error"));
    }
    const gst::ElementPtr parser = find_last_parser(bin.get());
    if (!parser) {
        return OV_BUILD_ERROR("No parser found in pipeline description — make sure it ends with e.g. h264parse");
    }
    const gst::PadPtr src = gst::static_pad(parser.get(), "src");
    if (!src) return OV_BUILD_ERROR("Parser has no src pad");
    if (auto failure = gst::expose_pad(bin.get(), src.get())) return *failure;
    return bin;
}

}  // namespace detail

gst::ElementResult build_src_bin(const SourceKind& source, Codec codec) {
    using namespace detail;
    return std::visit(
        [codec](const auto& kind) -> gst::ElementResult {
            using T = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<T, source::Test>) return build_test_bin();
            else if constexpr (std::is_same_v<T, source::Camera>) return build_camera_bin(kind);
            else if constexpr (std::is_same_v<T, source::Rtsp>) return build_rtsp_bin(kind, codec);
            else if constexpr (std::is_same_v<T, source::UdpRtp>) return build_udp_rtp_bin(kind, codec);
            else if constexpr (std::is_same_v<T, source::UdpMpegTs>) return build_udp_mpegts_bin(kind, codec);
            else if constexpr (std::is_same_v<T, source::Custom>) return build_custom_bin(kind);
            else if constexpr (std::is_same_v<T, source::App>) return build_app_bin(kind);
            else if constexpr (std::is_same_v<T, source::AppEncoded>) return build_app_encoded_bin(kind);
            else if constexpr (std::is_same_v<T, source::AppImage>) return build_app_image_bin(kind);
            else if constexpr (std::is_same_v<T, source::File>) return build_file_bin(kind, codec);
            else if constexpr (std::is_same_v<T, source::Images>) return build_images_bin(kind);
            else {
                static_assert(std::is_same_v<T, source::Display>);
                // ximagesrc captures its default screen; the monitor index is not applied.
                return build_display_bin();
            }
        },
        source);
}

bool source_is_encoded(const SourceKind& source) {
    return std::holds_alternative<source::Rtsp>(source) || std::holds_alternative<source::UdpRtp>(source) ||
           std::holds_alternative<source::UdpMpegTs>(source) || std::holds_alternative<source::Custom>(source) ||
           std::holds_alternative<source::AppEncoded>(source);
}

}  // namespace ov::media
