#include "media/timestamp_overlay.hpp"

#include "core/log.hpp"
#include "gst/caps.hpp"
#include "media/timestamp_probes.hpp"

namespace ov::media {

bool enum_has_nick(const GParamSpec* pspec, const char* nick) {
    if (pspec == nullptr || !G_IS_PARAM_SPEC_ENUM(pspec)) return false;
    const GEnumClass* values = G_PARAM_SPEC_ENUM(const_cast<GParamSpec*>(pspec))->enum_class;
    return g_enum_get_value_by_nick(const_cast<GEnumClass*>(values), nick) != nullptr;
}

void configure_timestamp_overlay(GstElement* overlay) {
    const GParamSpec* time_mode = g_object_class_find_property(G_OBJECT_GET_CLASS(overlay), "time-mode");
    // The reference-timestamp mode arrived in GStreamer 1.22; older overlays
    // can only show how long the pipeline has been running.
    if (enum_has_nick(time_mode, "reference-timestamp")) {
        gst::set_property_from_string(overlay, "time-mode", "reference-timestamp");
        gst::set_property(overlay, "reference-timestamp-caps", gst::make_caps("timestamp/x-ntp"));
        gst::set_property(overlay, "show-times-as-dates", true);
        gst::set_property(overlay, "datetime-format", std::string{"source ts: %H:%M:%S.%f"});
        // Source timestamps count from the Unix epoch; the overlay's default epoch is 1900.
        gst::set_property_from_string(overlay, "datetime-epoch", "1970-01-01T00:00:00Z");
    } else {
        OV_WARN(log::kPipeline, "overlay: GStreamer too old for reference-timestamp mode, using running-time");
        gst::set_property_from_string(overlay, "time-mode", "running-time");
    }
    gst::set_property(overlay, "font-desc", std::string{"Sans Bold 18"});
    gst::set_property(overlay, "ypad", int32_t{10});
}

gst::ElementResult make_timestamp_overlay() {
    auto overlay = gst::make_element({"timeoverlay", std::nullopt, {}});
    if (!overlay) return overlay;
    configure_timestamp_overlay(overlay.value().get());
    carry_timestamps(overlay.value().get());
    return overlay;
}

}  // namespace ov::media
