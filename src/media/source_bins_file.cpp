// Source bins that play stored media: a media file and a directory of images,
// both decoded to raw video and paced to wall-clock speed.

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>

#include "core/log.hpp"
#include "gst/caps.hpp"
#include "media/codec_elements.hpp"
#include "media/image_sequence.hpp"
#include "media/source_bins_internal.hpp"
#include "media/timestamp_probes.hpp"

namespace ov::media::detail {
namespace {

// Shared with parsebin's "pad-added" handler, which may run for several pads
// at once on parsebin's threads.
struct FilePadState {
    FilePadState(GstElement* parser, std::string media_type) : parser(parser), media_type(std::move(media_type)) {}
    WeakElement parser;
    const std::string media_type;
    // True while a pad is being examined and once one is linked: swapping it
    // first means two pads arriving together cannot both be linked.
    std::atomic<bool> linked{false};
};

gst::CapsPtr current_or_queried_caps(GstPad* pad) {
    gst::CapsPtr caps = gst::CapsPtr::take(gst_pad_get_current_caps(pad));
    if (caps) return caps;
    return gst::CapsPtr::take(gst_pad_query_caps(pad, nullptr));
}

void link_file_pad(FilePadState& state, GstPad* pad) {
    if (state.linked.exchange(true)) return;
    const gst::ElementPtr parser = state.parser.get();
    if (!parser) return;
    const gst::CapsPtr caps = current_or_queried_caps(pad);
    // Audio, subtitles and video of another codec are left unlinked.
    if (gst_caps_is_empty(caps.get()) ||
        !gst_structure_has_name(gst_caps_get_structure(caps.get(), 0), state.media_type.c_str())) {
        state.linked.store(false);
        return;
    }
    const gst::PadPtr sink = gst::required_pad(parser.get(), "sink");
    const GstPadLinkReturn result = gst_pad_link(pad, sink.get());
    if (GST_PAD_LINK_FAILED(result)) {
        OV_WARN(log::kPipeline, "Failed to link file source pad: {}", link_failure_reason(result));
        state.linked.store(false);
    }
}

void on_parsebin_pad_added(GstElement*, GstPad* pad, gpointer data) {
    auto& state = *static_cast<FilePadState*>(data);
    try {
        link_file_pad(state, pad);
    } catch (...) {
        // A streaming thread must not unwind; the parser always has "sink".
        state.linked.store(false);
    }
}

// The temporary directory of an image sequence. It goes at end of stream, or
// when the last holder (the bin, the clean-up probe) lets go of it, so a
// stream closed early leaves nothing in TMPDIR.
class TempDirectory {
public:
    explicit TempDirectory(std::string path) : path_(std::move(path)) {}
    ~TempDirectory() { remove(); }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    void remove() noexcept {
        if (!removed_.exchange(true)) remove_directory_tree(path_);
    }

private:
    const std::string path_;
    std::atomic<bool> removed_{false};
};
using SharedTempDirectory = std::shared_ptr<TempDirectory>;

void release_temp_directory(gpointer data) { delete static_cast<SharedTempDirectory*>(data); }

GstPadProbeReturn remove_at_end_of_stream(GstPad*, GstPadProbeInfo* info, gpointer data) {
    if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) != GST_EVENT_EOS) return GST_PAD_PROBE_OK;
    (*static_cast<SharedTempDirectory*>(data))->remove();
    return GST_PAD_PROBE_REMOVE;
}

// multifilesrc stamps nothing useful; frame n of the sequence is shown at
// n intervals from the start.
struct FrameTiming {
    explicit FrameTiming(uint64_t interval) : interval(interval) {}
    const uint64_t interval;
    std::atomic<uint64_t> next{0};
};

GstPadProbeReturn time_frame(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto& timing = *static_cast<FrameTiming*>(data);
    const uint64_t n = timing.next.fetch_add(1);
    GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
    GST_BUFFER_PTS(buffer) = n * timing.interval;
    GST_BUFFER_DURATION(buffer) = timing.interval;
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    return GST_PAD_PROBE_OK;
}

void release_frame_timing(gpointer data) { delete static_cast<FrameTiming*>(data); }

void stamp_and_pace(GstElement* last, const std::optional<uint64_t>& start_ns) {
    if (start_ns) {
        stamp_from_start(last, *start_ns);
    } else {
        stamp_wall_clock_fallback(last, false);
    }
    pace_realtime(last);
}

}  // namespace

gst::ElementResult build_file_bin(const source::File& file, Codec codec) {
    const CodecNames& names = codec_names(codec);
    gst::ElementPtr bin = gst::make_bin("src_bin");
    OV_TRY_ELEMENT(source, gst::make_element({"filesrc", std::nullopt, {{"location", file.location}}}));
    OV_TRY_ELEMENT(demuxer, gst::make_element({"parsebin", std::nullopt, {}}));
    OV_TRY_ELEMENT(parser, make_parser(codec));
    OV_TRY_ELEMENT(decoder, gst::make_element({names.decoder, std::nullopt, {}}));
    OV_TRY_ELEMENT(convert, gst::make_element({"videoconvert", std::nullopt, {}}));
    stamp_and_pace(convert.get(), file.start_ns);

    const gst::ElementPtr elements[] = {source, demuxer, parser, decoder, convert};
    if (auto error = gst::add_elements(bin.get(), elements)) return *error;
    const gst::ElementPtr decoding[] = {parser, decoder, convert};
    if (auto error = gst::link_chain(decoding)) return *error;
    if (auto error = gst::link(source.get(), demuxer.get())) return *error;

    g_signal_connect_data(demuxer.get(), "pad-added", G_CALLBACK(on_parsebin_pad_added),
                          new FilePadState(parser.get(), names.media_type), delete_handler_state<FilePadState>,
                          GConnectFlags{});
    return finish_with_src(std::move(bin), convert.get());
}

gst::ElementResult build_images_bin(const source::Images& images) {
    auto prepared = prepare_image_sequence(images.path);
    if (!prepared) return prepared.take_error();
    const ImageSequence& sequence = prepared.value();
    const auto temp_dir = std::make_shared<TempDirectory>(sequence.temp_dir);

    gst::ElementPtr bin = gst::make_bin("src_bin");
    g_object_set_data_full(G_OBJECT(bin.get()), "ov-image-sequence-dir", new SharedTempDirectory(temp_dir),
                           release_temp_directory);

    const auto last_index = static_cast<int32_t>(
        std::min<size_t>(sequence.images.size() - 1, std::numeric_limits<int32_t>::max()));
    const std::string pattern = image_sequence_pattern(sequence);
    if (!g_utf8_validate(pattern.c_str(), -1, nullptr)) {
        throw InternalFault("temporary directory path is not valid UTF-8: " + pattern);
    }
    OV_TRY_ELEMENT(source, gst::make_element({"multifilesrc",
                                              std::nullopt,
                                              {{"location", pattern},
                                               {"start-index", int32_t{0}},
                                               {"stop-index", last_index}}}));
    const uint32_t fps = images.fps == 0 ? 1 : images.fps;
    gst_pad_add_probe(gst::required_pad(source.get(), "src").get(), GST_PAD_PROBE_TYPE_BUFFER, time_frame,
                      new FrameTiming(uint32_t{1'000'000'000} / fps), release_frame_timing);

    OV_TRY_ELEMENT(decoder,
                   gst::make_element({sequence.extension == "png" ? "pngdec" : "jpegdec", std::nullopt, {}}));
    OV_TRY_ELEMENT(convert, gst::make_element({"videoconvert", std::nullopt, {}}));
    OV_TRY_ELEMENT(rate, gst::make_element({"videorate", std::nullopt, {{"skip-to-first", gst::FromString{"true"}}}}));
    const auto framerate = static_cast<int32_t>(std::min<uint32_t>(images.fps, std::numeric_limits<int32_t>::max()));
    const auto caps = gst::make_caps("video/x-raw", {{"framerate", gst::Fraction{framerate, 1}}});
    OV_TRY_ELEMENT(filter, gst::make_element({"capsfilter", std::nullopt, {{"caps", caps}}}));
    stamp_and_pace(filter.get(), images.start_ns);
    gst_pad_add_probe(gst::required_pad(filter.get(), "src").get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
                      remove_at_end_of_stream, new SharedTempDirectory(temp_dir), release_temp_directory);

    const gst::ElementPtr chain[] = {source, decoder, convert, rate, filter};
    if (auto error = add_and_link(bin.get(), chain)) return *error;
    return finish_with_src(std::move(bin), filter.get());
}

}  // namespace ov::media::detail
