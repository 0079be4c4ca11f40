#include "engine/pipeline_tail.hpp"

#include <fmt/format.h>

#include "core/log.hpp"
#include "engine/bus_event.hpp"
#include "engine/source_watchdog.hpp"
#include "gst/element.hpp"
#include "whip/session.hpp"

namespace ov::engine {
namespace {

using gst::ElementPtr;

ElementPtr find_element(GstElement* pipeline, const std::string& name) {
    return ElementPtr::take(gst_bin_get_by_name(GST_BIN(pipeline), name.c_str()));
}

void install_first_buffer_log(GstPad* pad, std::string_view label) {
    auto* text = new std::string(fmt::format("[{} src] Streaming", label));
    gst_pad_add_probe(
        pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        [](GstPad*, GstPadProbeInfo*, gpointer data) {
            try {
                OV_INFO(log::kPipeline, "{}", *static_cast<std::string*>(data));
            } catch (...) {
                // A line lost to memory exhaustion must not take the streaming thread down.
            }
            return GST_PAD_PROBE_REMOVE;
        },
        text, [](gpointer data) { delete static_cast<std::string*>(data); });
}

void start_watchdog_on_src_bin(GstElement* pipeline) {
    const ElementPtr source_bin = find_element(pipeline, "src_bin");
    if (source_bin && GST_IS_BIN(source_bin.get())) start_source_watchdog(source_bin.get(), pipeline);
}

void dump_graph(GstElement* pipeline, std::string_view label, const char* state) {
    const std::string name = fmt::format("pipeline-{}-{}", label, state);
    GST_DEBUG_BIN_TO_DOT_FILE(GST_BIN(pipeline), GST_DEBUG_GRAPH_SHOW_ALL, name.c_str());
}

std::optional<StreamError> request_playing(GstElement* pipeline) {
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) return std::nullopt;
    const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(pipeline));
    if (!bus) return StreamError::state_change_failed();
    const gst::MessagePtr message =
        gst::MessagePtr::take(gst_bus_timed_pop_filtered(bus.get(), 100 * GST_MSECOND, GST_MESSAGE_ERROR));
    if (!message) return StreamError::state_change_failed();
    return StreamError::config_error(gst_error_text(message.get()));
}

GstPadProbeReturn count_bytes(GstPad*, GstPadProbeInfo* info, gpointer data) {
    if (GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info)) {
        static_cast<ByteCounter*>(data)->get()->fetch_add(gst_buffer_get_size(buffer), std::memory_order_relaxed);
    }
    return GST_PAD_PROBE_OK;
}

ByteCounter install_byte_counter(GstElement* pipeline) {
    auto counter = std::make_shared<std::atomic<uint64_t>>(0);
    const ElementPtr encoder = find_element(pipeline, "encoder");
    if (!encoder) return counter;
    const gst::PadPtr pad = gst::static_pad(encoder.get(), "src");
    if (!pad) return counter;
    gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, count_bytes, new ByteCounter(counter),
                      [](gpointer data) { delete static_cast<ByteCounter*>(data); });
    return counter;
}

}  // namespace

void watch_source(GstElement* pipeline, std::string_view label, bool watchdog) {
    const ElementPtr source_bin = find_element(pipeline, "src_bin");
    if (!source_bin) return;
    install_first_buffer_log(gst::required_pad(source_bin.get(), "src").get(), label);
    if (watchdog) start_watchdog_on_src_bin(pipeline);
}

std::optional<StreamError> negotiate_whip_sink(GstElement* pipeline, const sink::Whip& sink, size_t index,
                                               const PipelineConfig& config, const char* missing_format) {
    const std::string name = fmt::format("webrtcbin_{}", index);
    const ElementPtr webrtcbin = find_element(pipeline, name);
    if (!webrtcbin) return StreamError::whip_failed(fmt::format(fmt::runtime(missing_format), name));
    const auto grace = config.reconnect ? config.reconnect->disconnect_grace : std::chrono::seconds(2);
    const auto error =
        whip::negotiate_whip(webrtcbin.get(), whip::WhipTarget{sink.endpoint, sink.token, sink.stun_server}, grace);
    if (error) return StreamError::whip_failed(*error);
    return std::nullopt;
}

Result<ByteCounter, StreamError> finish_pipeline(GstElement* pipeline, const std::vector<SinkKind>& sinks,
                                                 const PipelineConfig& config, std::string_view label,
                                                 bool watch_after_whip) {
    dump_graph(pipeline, label, "NULL");
    if (auto error = request_playing(pipeline)) return *error;

    for (size_t index = 0; index < sinks.size(); ++index) {
        const auto* whip_sink = std::get_if<sink::Whip>(&sinks[index]);
        if (whip_sink == nullptr) continue;
        if (auto error = negotiate_whip_sink(pipeline, *whip_sink, index, config, "webrtcbin '{}' not found in pipeline")) {
            return *error;
        }
    }
    if (watch_after_whip) start_watchdog_on_src_bin(pipeline);
    dump_graph(pipeline, label, "PLAYING");

    ByteCounter counter = install_byte_counter(pipeline);
    if (config.congestion_control) {
        for (size_t index = 0; index < sinks.size(); ++index) {
            if (!std::holds_alternative<sink::Whip>(sinks[index])) continue;
            const ElementPtr webrtcbin = find_element(pipeline, fmt::format("webrtcbin_{}", index));
            if (webrtcbin) whip::start_stats_loop(pipeline, webrtcbin.get(), counter, config.codec, config.bitrate);
            break;
        }
    }
    return counter;
}

}  // namespace ov::engine
