// Source bins fed by the program itself through the element named "appsrc".

#include "gst/caps.hpp"
#include "media/codec_elements.hpp"
#include "media/source_bins_internal.hpp"
#include "media/timestamp_probes.hpp"

namespace ov::media::detail {

gst::ElementResult build_app_bin(const source::App& app) {
    gst::ElementPtr bin = gst::make_bin("src_bin");
    const auto caps = gst::make_caps("video/x-raw", {{"format", app.format},
                                                     {"width", static_cast<int32_t>(app.width)},
                                                     {"height", static_cast<int32_t>(app.height)},
                                                     // Variable rate: pushed frames come when they come. Without
                                                     // a rate the caps are not fixed, and every converter
                                                     // downstream copies frames it could pass through.
                                                     {"framerate", gst::Fraction{0, 1}}});
    OV_TRY_ELEMENT(appsrc, gst::make_element({"appsrc",
                                              "appsrc",
                                              {{"caps", caps},
                                               {"format", gst::FromString{"time"}},
                                               {"is-live", app.auto_timestamp},
                                               {"do-timestamp", app.auto_timestamp}}}));
    // Without automatic stamps every pushed frame carries the capture time the
    // program gave it: keep them all, and stamp nothing here.
    OV_TRY_ELEMENT(queue, app.auto_timestamp ? make_latest_frame_queue() : make_plain_queue());
    const gst::ElementPtr chain[] = {appsrc, queue};
    if (auto error = add_and_link(bin.get(), chain)) return *error;
    if (app.auto_timestamp) stamp_wall_clock_fallback(queue.get(), true);
    return finish_with_src(std::move(bin), queue.get());
}

gst::ElementResult build_app_encoded_bin(const source::AppEncoded& app) {
    gst::ElementPtr bin = gst::make_bin("src_bin");
    const auto caps = gst::make_caps(codec_names(app.codec).media_type,
                                     {{"stream-format", std::string("byte-stream")}, {"alignment", std::string("au")}});
    OV_TRY_ELEMENT(appsrc, gst::make_element({"appsrc",
                                              "appsrc",
                                              {{"caps", caps},
                                               {"format", gst::FromString{"time"}},
                                               {"is-live", true}}}));
    OV_TRY_ELEMENT(parser, make_parser(app.codec));
    OV_TRY_ELEMENT(queue, make_latest_frame_queue());
    const gst::ElementPtr chain[] = {appsrc, parser, queue};
    if (auto error = add_and_link(bin.get(), chain)) return *error;
    // No stamping probe: the push path stamps every access unit itself.
    return finish_with_src(std::move(bin), queue.get());
}

gst::ElementResult build_app_image_bin(const source::AppImage& app) {
    const bool jpeg = app.format == ImageFormat::Jpeg;
    gst::ElementPtr bin = gst::make_bin("src_bin");
    OV_TRY_ELEMENT(appsrc, gst::make_element({"appsrc",
                                              "appsrc",
                                              {{"caps", gst::make_caps(jpeg ? "image/jpeg" : "image/png")},
                                               {"format", gst::FromString{"time"}},
                                               {"is-live", true},
                                               {"do-timestamp", true}}}));
    OV_TRY_ELEMENT(decoder, gst::make_element({jpeg ? "jpegdec" : "pngdec", std::nullopt, {}}));
    OV_TRY_ELEMENT(queue, make_latest_frame_queue());
    const gst::ElementPtr chain[] = {appsrc, decoder, queue};
    if (auto error = add_and_link(bin.get(), chain)) return *error;
    stamp_wall_clock_fallback(queue.get(), true);
    return finish_with_src(std::move(bin), queue.get());
}

}  // namespace ov::media::detail
