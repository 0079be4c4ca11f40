#include "engine/branch_isolation.hpp"

#include <string_view>

#include "engine/bus_event.hpp"
#include "gst/handle.hpp"

namespace ov::engine {
namespace {

constexpr const char* kIsolated = "ov-branch-isolated";

GstPadProbeReturn drop_data(GstPad*, GstPadProbeInfo*, gpointer) { return GST_PAD_PROBE_DROP; }

void stop_feeding(GstElement* branch) {
    if (g_object_get_data(G_OBJECT(branch), kIsolated) != nullptr) return;
    g_object_set_data(G_OBJECT(branch), kIsolated, GINT_TO_POINTER(1));
    const gst::PadPtr sink = gst::PadPtr::take(gst_element_get_static_pad(branch, "sink"));
    if (!sink) return;
    const gst::PadPtr tee_pad = gst::PadPtr::take(gst_pad_get_peer(sink.get()));
    if (!tee_pad) return;
    gst_pad_add_probe(tee_pad.get(),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      drop_data, nullptr, nullptr);
}

// Runs on the thread that posts the message, before the failed element can
// return its error to anyone upstream.
GstBusSyncReply on_message(GstBus*, GstMessage* message, gpointer) {
    if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR) return GST_BUS_PASS;
    auto object = gst::ObjectPtr<GstObject>::ref(GST_MESSAGE_SRC(message));
    while (object) {
        const gst::StringPtr name = gst::StringPtr::take(gst_object_get_name(object.get()));
        const std::string_view view = name ? std::string_view(name.get()) : std::string_view();
        if (view.starts_with("branch_")) {
            if (branch_index(view) && GST_IS_ELEMENT(object.get())) stop_feeding(GST_ELEMENT(object.get()));
            break;
        }
        object = gst::ObjectPtr<GstObject>::take(gst_object_get_parent(object.get()));
    }
    return GST_BUS_PASS;
}

}  // namespace

void isolate_failing_branches(GstElement* pipeline) {
    const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(pipeline));
    if (bus) gst_bus_set_sync_handler(bus.get(), on_message, nullptr, nullptr);
}

}  // namespace ov::engine
