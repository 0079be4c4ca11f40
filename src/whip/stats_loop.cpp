#include "whip/webrtc_handles.hpp"  // first: it enables the WebRTC headers

#include <fmt/format.h>

#include <thread>

#include "core/log.hpp"
#include "gst/weak_ref.hpp"
#include "whip/congestion.hpp"
#include "whip/oneshot.hpp"
#include "whip/session.hpp"

namespace ov::whip {
namespace {

using namespace std::chrono_literals;

constexpr auto kPeriod = 1s;
constexpr auto kStatsWait = 500ms;

using Counter = std::shared_ptr<std::atomic<uint64_t>>;

struct StatsLoop {
    gst::WeakRef<GstElement> pipeline;
    gst::ElementPtr webrtcbin;  // strong: the loop reads it every cycle
    Counter encoded_bytes;
    Codec codec;
    uint32_t bitrate_kbps;
};

const char* state_name(GstState state) {
    switch (state) {
        case GST_STATE_VOID_PENDING: return "VoidPending";
        case GST_STATE_NULL: return "Null";
        case GST_STATE_READY: return "Ready";
        case GST_STATE_PAUSED: return "Paused";
        case GST_STATE_PLAYING: return "Playing";
    }
    return "Unknown";
}

// True while the element still sits somewhere below the pipeline; a removed
// branch keeps its own children, so a parent alone proves nothing.
bool inside(GstElement* element, GstElement* pipeline) {
    gst::ObjectPtr<GstObject> parent = gst::ObjectPtr<GstObject>::take(gst_object_get_parent(GST_OBJECT(element)));
    while (parent) {
        if (parent.get() == GST_OBJECT(pipeline)) return true;
        parent = gst::ObjectPtr<GstObject>::take(gst_object_get_parent(parent.get()));
    }
    return false;
}

// The change function of the "get-stats" promise, on a webrtcbin thread.
void on_stats(GstPromise* promise, gpointer data) noexcept {
    try {
        auto sender = static_cast<SenderSlot<StructurePtr>*>(data)->take();
        if (!sender || gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) return;
        if (const GstStructure* reply = gst_promise_get_reply(promise)) {
            std::move(*sender).send(StructurePtr::take(gst_structure_copy(reply)));
        }
    } catch (...) {
        // The dropped sender closes the channel; the loop skips this cycle.
    }
}

std::optional<StructurePtr> request_stats(GstElement* webrtcbin) {
    auto [sender, receiver] = make_oneshot<StructurePtr>();
    const PromisePtr promise = PromisePtr::take(gst_promise_new_with_change_func(
        on_stats, new SenderSlot<StructurePtr>(std::move(sender)),
        [](gpointer data) { delete static_cast<SenderSlot<StructurePtr>*>(data); }));
    const auto deadline = std::chrono::steady_clock::now() + kStatsWait;
    g_signal_emit_by_name(webrtcbin, "get-stats", nullptr, promise.get());
    std::optional<StructurePtr> reply;
    if (receiver.wait_until(deadline, reply) != Received::Value) return std::nullopt;
    return reply;
}

double double_field(const GstStructure* structure, const char* name) {
    double value = 0.0;
    return gst_structure_get_double(structure, name, &value) ? value : 0.0;
}

SenderReport read_report(const GstStructure* reply) {
    struct Kept {
        StructurePtr outbound;
        StructurePtr remote_inbound;
    } kept;
    gst_structure_foreach(
        reply,
        [](GQuark, const GValue* value, gpointer data) -> gboolean {
            if (!G_VALUE_HOLDS(value, GST_TYPE_STRUCTURE)) return TRUE;
            const GstStructure* entry = gst_value_get_structure(value);
            if (entry == nullptr) return TRUE;
            auto* kept = static_cast<Kept*>(data);
            if (gst_structure_has_name(entry, "outbound-rtp")) {
                kept->outbound = StructurePtr::ref(const_cast<GstStructure*>(entry));
            } else if (gst_structure_has_name(entry, "remote-inbound-rtp")) {
                kept->remote_inbound = StructurePtr::ref(const_cast<GstStructure*>(entry));
            }
            return TRUE;
        },
        &kept);
    SenderReport report;
    if (!kept.outbound) return report;
    report.outbound = true;
    guint pli = 0;
    report.pli_count = gst_structure_get_uint(kept.outbound.get(), "pli-count", &pli) ? pli : 0;
    if (kept.remote_inbound) {
        report.rtt_ms = double_field(kept.remote_inbound.get(), "round-trip-time") * 1000.0;
        report.jitter_ms = double_field(kept.remote_inbound.get(), "jitter") * 1000.0;
        report.loss_pct = double_field(kept.remote_inbound.get(), "fraction-lost") * 100.0;
    }
    return report;
}

template <class Wide>
Wide clamped(Wide value, Wide low, Wide high) {
    return value < low ? low : (value > high ? high : value);
}

// Writes the setting in the property's own integer type, inside its range.
// False when the encoder has no such integer property.
bool write_setting(GstElement* encoder, const EncoderSetting& setting) {
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(encoder), setting.property);
    if (pspec == nullptr || !(pspec->flags & G_PARAM_WRITABLE)) return false;
    const int64_t wanted = std::visit([](auto v) { return static_cast<int64_t>(v); }, setting.value);
    if (G_IS_PARAM_SPEC_UINT(pspec)) {
        const auto* range = G_PARAM_SPEC_UINT(pspec);
        g_object_set(encoder, setting.property,
                     static_cast<guint>(clamped<int64_t>(wanted, range->minimum, range->maximum)), nullptr);
    } else if (G_IS_PARAM_SPEC_INT(pspec)) {
        const auto* range = G_PARAM_SPEC_INT(pspec);
        g_object_set(encoder, setting.property,
                     static_cast<gint>(clamped<int64_t>(wanted, range->minimum, range->maximum)), nullptr);
    } else {
        return false;
    }
    return true;
}

class BitrateWriter {
public:
    explicit BitrateWriter(Codec codec) : codec_(codec) {}

    void write(GstElement* pipeline, uint32_t target_kbps) {
        const gst::ElementPtr encoder = gst::ElementPtr::take(gst_bin_get_by_name(GST_BIN(pipeline), "encoder"));
        if (!encoder) return;
        GstElementFactory* factory = gst_element_get_factory(encoder.get());
        const std::string factory_name = factory ? GST_OBJECT_NAME(factory) : "";
        const EncoderSetting setting = encoder_setting(codec_, factory_name, target_kbps);
        if (!write_setting(encoder.get(), setting) && !reported_missing_) {
            reported_missing_ = true;
            OV_DEBUG(log::kStream, "[WHIP stats] encoder {} has no integer \"{}\" property, bitrate not adapted",
                     factory_name, setting.property);
        }
    }

private:
    Codec codec_;
    bool reported_missing_ = false;
};

void run_stats_loop(const StatsLoop& loop) {
    AimdState state = AimdState::start(loop.bitrate_kbps, AimdClock::now());
    BitrateWriter writer(loop.codec);
    uint64_t prev_bytes = 0;
    for (;;) {
        std::this_thread::sleep_for(kPeriod);
        const gst::ElementPtr pipeline = loop.pipeline.get();
        if (!pipeline) {
            OV_INFO(log::kStream, "[WHIP stats] pipeline dropped, exiting");
            return;
        }
        if (!inside(loop.webrtcbin.get(), pipeline.get())) {
            OV_INFO(log::kStream, "[WHIP stats] webrtcbin removed from pipeline, exiting");
            return;
        }
        GstState current = GST_STATE_VOID_PENDING;
        gst_element_get_state(pipeline.get(), &current, nullptr, 0);
        if (current < GST_STATE_PAUSED) {
            OV_INFO(log::kStream, "[WHIP stats] pipeline state {}, exiting", state_name(current));
            return;
        }

        const uint64_t bytes = loop.encoded_bytes->load();
        const uint64_t actual_kbps = (bytes >= prev_bytes ? bytes - prev_bytes : 0) * 8 / 1000;
        prev_bytes = bytes;

        const std::optional<StructurePtr> reply = request_stats(loop.webrtcbin.get());
        if (!reply) {
            OV_WARN(log::kStream, "[WHIP stats] get-stats timed out, skipping AIMD");
            continue;
        }
        const AimdStep step = aimd_step(state, read_report(reply->get()), AimdClock::now());
        if (step.decrease_line) OV_INFO(log::kStream, "{}", *step.decrease_line);
        if (step.next.target_kbps != state.target_kbps) writer.write(pipeline.get(), step.next.target_kbps);
        state = step.next;
        OV_DEBUG(log::kStream, "{}", cycle_line(actual_kbps, state.target_kbps, step));
    }
}

}  // namespace

void start_stats_loop(GstElement* pipeline, GstElement* webrtcbin, std::shared_ptr<std::atomic<uint64_t>> encoded_bytes,
                      Codec codec, uint32_t bitrate_kbps) {
    StatsLoop loop{gst::WeakRef<GstElement>(pipeline), gst::ElementPtr::ref(webrtcbin), std::move(encoded_bytes), codec,
                   bitrate_kbps};
    std::thread([loop = std::move(loop)] {
        try {
            run_stats_loop(loop);
        } catch (const std::exception& e) {
            OV_ERROR(log::kStream, "[WHIP stats] loop failed: {}", e.what());
        }
    }).detach();
}

}  // namespace ov::whip
