#include "engine/source_watchdog.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "core/log.hpp"
#include "gst/element.hpp"
#include "gst/weak_ref.hpp"

namespace ov::engine {
namespace {

constexpr uint64_t kTimeoutSeconds = 10;

uint64_t wall_clock_seconds() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now).count();
    return seconds > 0 ? static_cast<uint64_t>(seconds) : 0;
}

using LastData = std::shared_ptr<std::atomic<uint64_t>>;

GstPadProbeReturn note_data(GstPad*, GstPadProbeInfo*, gpointer user_data) {
    static_cast<LastData*>(user_data)->get()->store(wall_clock_seconds(), std::memory_order_relaxed);
    return GST_PAD_PROBE_OK;
}

void watch(gst::WeakRef<GstElement> pipeline_ref, LastData last_data) {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const gst::ElementPtr pipeline = pipeline_ref.get();
        if (!pipeline) return;
        GstState state = GST_STATE_VOID_PENDING;
        gst_element_get_state(pipeline.get(), &state, nullptr, 0);
        if (state < GST_STATE_PAUSED) return;
        const uint64_t last = last_data->load(std::memory_order_relaxed);
        const uint64_t now = wall_clock_seconds();
        const uint64_t elapsed = now > last ? now - last : 0;
        if (elapsed > kTimeoutSeconds) {
            OV_WARN(log::kPipeline, "No data from source for {}s", kTimeoutSeconds);
            const gst::ErrorPtr error = gst::ErrorPtr::take(g_error_new_literal(
                GST_LIBRARY_ERROR, GST_LIBRARY_ERROR_FAILED, "Source timed out — no data received"));
            gst_element_post_message(pipeline.get(),
                                     gst_message_new_error(GST_OBJECT_CAST(pipeline.get()), error.get(), nullptr));
            return;
        }
    }
}

}  // namespace

void start_source_watchdog(GstElement* source_bin, GstElement* pipeline) {
    const gst::PadPtr pad = gst::static_pad(source_bin, "src");
    if (!pad) return;
    auto last_data = std::make_shared<std::atomic<uint64_t>>(wall_clock_seconds());
    gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, note_data, new LastData(last_data),
                      [](gpointer data) { delete static_cast<LastData*>(data); });
    std::thread(watch, gst::WeakRef<GstElement>(pipeline), std::move(last_data)).detach();
}

}  // namespace ov::engine
