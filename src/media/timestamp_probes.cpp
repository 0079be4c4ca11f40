#include "media/timestamp_probes.hpp"

#include <gst/rtp/gstrtpbuffer.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/log.hpp"
#include "gst/element.hpp"
#include "media/rtp_timestamp_extension.hpp"
#include "media/source_timestamp.hpp"

namespace ov::media {
namespace {

constexpr const char* kFallbackWarning =
    "send_frame called without timestamp_ns — falling back to wall clock. Pass timestamp_ns to send_frame for "
    "accurate timestamps.";

// Probes run on streaming threads: nothing may escape into GStreamer's C frames.
void report_probe_failure(const char* what) noexcept {
    try {
        OV_ERROR(log::kPipeline, "timestamp probe failed: {}", what);
    } catch (...) {
    }
}

// The buffer in `slot`, made writable; a shared buffer is copied and the copy
// takes its place in the slot.
GstBuffer* writable(GstBuffer** slot) {
    *slot = gst_buffer_make_writable(*slot);
    return *slot;
}

// A buffer probe that hands every buffer (single, or each of a buffer list) to
// `on_buffer(GstBuffer** slot)`, which may replace it with a writable copy.
template <class OnBuffer>
gulong add_buffer_probe(GstPad* pad, OnBuffer on_buffer) {
    struct Callback {
        static GstPadProbeReturn invoke(GstPad*, GstPadProbeInfo* info, gpointer data) {
            try {
                auto& on_buffer = *static_cast<OnBuffer*>(data);
                if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
                    auto** slot = reinterpret_cast<GstBuffer**>(&info->data);
                    on_buffer(slot);
                } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
                    info->data = gst_buffer_list_make_writable(GST_BUFFER_LIST_CAST(info->data));
                    gst_buffer_list_foreach(
                        GST_BUFFER_LIST_CAST(info->data),
                        [](GstBuffer** slot, guint, gpointer user) -> gboolean {
                            (*static_cast<OnBuffer*>(user))(slot);
                            return TRUE;
                        },
                        data);
                }
            } catch (const std::exception& error) {
                report_probe_failure(error.what());
            } catch (...) {
                report_probe_failure("unknown exception");
            }
            return GST_PAD_PROBE_OK;
        }
        static void destroy(gpointer data) { delete static_cast<OnBuffer*>(data); }
    };
    return gst_pad_add_probe(pad,
                             static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                             &Callback::invoke, new OnBuffer(std::move(on_buffer)), &Callback::destroy);
}

template <class OnBuffer>
gulong add_src_probe(GstElement* element, OnBuffer on_buffer) {
    const gst::PadPtr pad = gst::required_pad(element, "src");
    return add_buffer_probe(pad.get(), std::move(on_buffer));
}

// Carried metas: reference caps (shared, caps on a meta never change) and timestamp.
struct CarriedMeta {
    gst::CapsPtr reference;
    uint64_t timestamp;
};

std::vector<CarriedMeta> reference_metas(GstBuffer* buffer) {
    std::vector<CarriedMeta> metas;
    gpointer state = nullptr;
    while (GstMeta* meta = gst_buffer_iterate_meta_filtered(buffer, &state, GST_REFERENCE_TIMESTAMP_META_API_TYPE)) {
        const auto* reference = reinterpret_cast<GstReferenceTimestampMeta*>(meta);
        metas.push_back({gst::CapsPtr::ref(reference->reference), reference->timestamp});
    }
    return metas;
}

void remove_reference_metas(GstBuffer* buffer) {
    gst_buffer_foreach_meta(
        buffer,
        [](GstBuffer*, GstMeta** meta, gpointer) -> gboolean {
            if ((*meta)->info->api == GST_REFERENCE_TIMESTAMP_META_API_TYPE) *meta = nullptr;  // removes it
            return TRUE;
        },
        nullptr);
}

// Replaces any extension data of a writable RTP packet with our timestamp
// extension. A packet that is not RTP stays as it is.
void write_extension(GstBuffer* packet, uint64_t timestamp_ns) {
    const auto bytes = encode_rtp_timestamp(timestamp_ns);
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(packet, GST_MAP_READWRITE, &rtp)) return;
    gst_rtp_buffer_remove_extension_data(&rtp);
    gst_rtp_buffer_add_extension_onebyte_header(&rtp, kRtpTimestampExtensionId, bytes.data(), bytes.size());
    gst_rtp_buffer_unmap(&rtp);
}

std::optional<uint64_t> read_extension(GstBuffer* packet) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(packet, GST_MAP_READ, &rtp)) return std::nullopt;
    std::optional<uint64_t> value;
    gpointer data = nullptr;
    guint size = 0;
    if (gst_rtp_buffer_get_extension_onebyte_header(&rtp, kRtpTimestampExtensionId, 0, &data, &size) &&
        size >= 8) {
        value = decode_rtp_timestamp(std::span<const uint8_t, 8>(static_cast<const uint8_t*>(data), 8));
    }
    gst_rtp_buffer_unmap(&rtp);
    return value;
}

// The element a one-shot probe acts on, held without keeping it alive.
class WeakElement {
public:
    explicit WeakElement(GstElement* element) { g_weak_ref_init(&ref_, element); }
    ~WeakElement() { g_weak_ref_clear(&ref_); }
    WeakElement(const WeakElement&) = delete;
    WeakElement& operator=(const WeakElement&) = delete;

    gst::ElementPtr lock() { return gst::ElementPtr::take(static_cast<GstElement*>(g_weak_ref_get(&ref_))); }

private:
    GWeakRef ref_;
};

struct DateTimeTraits {
    static GstDateTime* ref(GstDateTime* p) { return gst_date_time_ref(p); }
    static void unref(GstDateTime* p) { gst_date_time_unref(p); }
};
using DateTimePtr = gst::Handle<GstDateTime, DateTimeTraits>;

}  // namespace

void stamp_from_pts(GstElement* element) {
    add_src_probe(element, [](GstBuffer** slot) {
        if (!GST_BUFFER_PTS_IS_VALID(*slot)) return;
        add_source_timestamp(writable(slot), GST_BUFFER_PTS(*slot));
    });
}

void stamp_from_start(GstElement* element, uint64_t start_ns) {
    add_src_probe(element, [start_ns](GstBuffer** slot) {
        if (source_timestamp(*slot)) return;
        const uint64_t pts = GST_BUFFER_PTS_IS_VALID(*slot) ? GST_BUFFER_PTS(*slot) : 0;
        // Saturates below GStreamer's "none" instead of wrapping around.
        uint64_t value = 0;
        if (__builtin_add_overflow(start_ns, pts, &value) || value == GST_CLOCK_TIME_NONE) {
            value = GST_CLOCK_TIME_NONE - 1;
        }
        add_source_timestamp(writable(slot), value);
    });
}

void stamp_wall_clock_fallback(GstElement* element, bool warn) {
    // Each installation reports at most once; a rebuilt pipeline reports again.
    auto warned = std::make_shared<std::atomic<bool>>(false);
    add_src_probe(element, [warn, warned](GstBuffer** slot) {
        if (source_timestamp(*slot)) return;
        if (warn && !warned->exchange(true)) OV_WARN(log::kPipeline, "{}", kFallbackWarning);
        add_source_timestamp(writable(slot), wall_clock_now_ns());
    });
}

void read_rtp_timestamp_extension(GstElement* element) {
    add_src_probe(element, [](GstBuffer** slot) {
        const uint64_t value = read_extension(*slot).value_or(wall_clock_now_ns());
        add_source_timestamp(writable(slot), value);
    });
}

void carry_timestamps(GstElement* element) {
    struct State {
        std::mutex mutex;  // guards `carried`; held only to swap or copy it, never across a push
        std::shared_ptr<const std::vector<CarriedMeta>> carried = std::make_shared<std::vector<CarriedMeta>>();
    };
    gst::PadPtr sink = gst::static_pad(element, "sink");
    if (!sink) sink = gst::required_pad(element, "video_sink");
    const gst::PadPtr src = gst::required_pad(element, "src");
    auto state = std::make_shared<State>();

    add_buffer_probe(sink.get(), [state](GstBuffer** slot) {
        auto latest = std::make_shared<const std::vector<CarriedMeta>>(reference_metas(*slot));
        const std::lock_guard lock(state->mutex);
        state->carried = std::move(latest);
    });
    add_buffer_probe(src.get(), [state](GstBuffer** slot) {
        std::shared_ptr<const std::vector<CarriedMeta>> carried;
        {
            const std::lock_guard lock(state->mutex);
            carried = state->carried;
        }
        if (carried->empty()) return;
        // Metas the element copied itself may belong to an older input (a parser
        // merging buffers); the latest input's set replaces them so they do not pile up.
        GstBuffer* buffer = writable(slot);
        remove_reference_metas(buffer);
        for (const auto& meta : *carried) {
            gst_buffer_add_reference_timestamp_meta(buffer, meta.reference.get(), meta.timestamp,
                                                    GST_CLOCK_TIME_NONE);
        }
    });
}

void write_rtp_timestamp_extension(GstElement* payloader, bool rewrite_pts) {
    struct State {
        std::mutex mutex;  // guards `latest`
        std::optional<uint64_t> latest;  // the last input's source timestamp, if it had one
    };
    const gst::PadPtr sink = gst::required_pad(payloader, "sink");
    const gst::PadPtr src = gst::required_pad(payloader, "src");
    auto state = std::make_shared<State>();

    add_buffer_probe(sink.get(), [state, rewrite_pts](GstBuffer** slot) {
        const std::optional<uint64_t> timestamp = source_timestamp(*slot);
        {
            const std::lock_guard lock(state->mutex);
            state->latest = timestamp;
        }
        // RTP timestamps then follow capture times rather than running time.
        if (rewrite_pts && timestamp) GST_BUFFER_PTS(writable(slot)) = *timestamp;
    });
    add_buffer_probe(src.get(), [state](GstBuffer** slot) {
        std::optional<uint64_t> latest;
        {
            const std::lock_guard lock(state->mutex);
            latest = state->latest;
        }
        write_extension(writable(slot), latest.value_or(wall_clock_now_ns()));
    });
}

void pace_realtime(GstElement* element) {
    using Clock = std::chrono::steady_clock;
    struct State {
        std::mutex mutex;  // guards `first`; never held while sleeping
        std::optional<std::pair<Clock::time_point, uint64_t>> first;  // (instant, presentation timestamp)
    };
    auto state = std::make_shared<State>();
    add_src_probe(element, [state](GstBuffer** slot) {
        if (!GST_BUFFER_PTS_IS_VALID(*slot)) return;
        const uint64_t pts = GST_BUFFER_PTS(*slot);
        Clock::time_point release;
        {
            const std::lock_guard lock(state->mutex);
            if (!state->first) {
                state->first.emplace(Clock::now(), pts);
                return;
            }
            const auto& [first_instant, first_pts] = *state->first;
            release = first_instant + std::chrono::nanoseconds(pts > first_pts ? pts - first_pts : 0);
        }
        // sleep_until resumes after interruptions; a pipeline that fell behind passes at once.
        if (release > Clock::now()) std::this_thread::sleep_until(release);
    });
}

void set_creation_time(GstPad* pad, GstElement* target) {
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(target), "creation-time");
    if (pspec == nullptr || pspec->value_type != GST_TYPE_DATE_TIME) {
        throw InternalFault(fmt::format("element '{}' has no date-time property 'creation-time'",
                                        gst::element_name(target)));
    }
    struct Callback {
        static GstPadProbeReturn invoke(GstPad*, GstPadProbeInfo* info, gpointer data) {
            try {
                GstBuffer* buffer = nullptr;
                if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
                    buffer = GST_PAD_PROBE_INFO_BUFFER(info);
                } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
                    GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
                    if (gst_buffer_list_length(list) > 0) buffer = gst_buffer_list_get(list, 0);
                }
                const gst::ElementPtr element = static_cast<WeakElement*>(data)->lock();
                const std::optional<uint64_t> timestamp = buffer ? source_timestamp(buffer) : std::nullopt;
                if (element && timestamp) {
                    const auto seconds = static_cast<gint64>(*timestamp / GST_SECOND);
                    const DateTimePtr created = DateTimePtr::take(gst_date_time_new_from_unix_epoch_utc(seconds));
                    if (created) g_object_set(element.get(), "creation-time", created.get(), nullptr);
                }
            } catch (const std::exception& error) {
                report_probe_failure(error.what());
            } catch (...) {
                report_probe_failure("unknown exception");
            }
            return GST_PAD_PROBE_REMOVE;
        }
        static void destroy(gpointer data) { delete static_cast<WeakElement*>(data); }
    };
    gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      &Callback::invoke, new WeakElement(target), &Callback::destroy);
}

}  // namespace ov::media
