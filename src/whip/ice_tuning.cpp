#include "whip/ice_tuning.hpp"

#include <string_view>

#include "core/log.hpp"
#include "gst/handle.hpp"

namespace ov::whip {
namespace {

using ObjectPtr = gst::ObjectPtr<GObject>;

ObjectPtr object_property(gpointer owner, const char* name) {
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(owner), name);
    if (pspec == nullptr || !g_type_is_a(pspec->value_type, G_TYPE_OBJECT) || !(pspec->flags & G_PARAM_READABLE)) {
        return {};
    }
    GObject* value = nullptr;
    g_object_get(owner, name, &value, nullptr);
    return ObjectPtr::take(value);
}

bool runtime_writable(GObject* object, const char* name, GType type) {
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(object), name);
    return pspec != nullptr && pspec->value_type == type && (pspec->flags & G_PARAM_WRITABLE) &&
           !(pspec->flags & G_PARAM_CONSTRUCT_ONLY);
}

std::string skipped_text(std::string_view name) {
    return fmt::format("[WHIP] ICE agent {} property is unavailable or not runtime-writable, skipping", name);
}

}  // namespace

std::optional<std::string> tune_ice_agent(GstElement* webrtcbin) {
    const ObjectPtr ice = object_property(webrtcbin, "ice-agent");
    if (!ice) return std::string("ICE agent cannot be tuned: webrtcbin has no \"ice-agent\" object");
    const ObjectPtr agent = object_property(ice.get(), "agent");
    if (!agent) return std::string("ICE agent cannot be tuned: the ICE object has no \"agent\" object");
    if (!runtime_writable(agent.get(), "upnp", G_TYPE_BOOLEAN)) {
        return std::string("ICE agent cannot be tuned: the agent has no writable \"upnp\" property");
    }
    // UPnP mapping would add seconds of gathering and candidates no peer can reach.
    g_object_set(agent.get(), "upnp", FALSE, nullptr);

    // Consent freshness notices a vanished peer within seconds; without it the
    // keep-alive checks and the retransmission limit shorten libnice's wait.
    if (runtime_writable(agent.get(), "consent-freshness", G_TYPE_BOOLEAN)) {
        g_object_set(agent.get(), "consent-freshness", TRUE, nullptr);
    } else {
        OV_DEBUG(log::kWhip, "{}", skipped_text("consent-freshness"));
    }
    if (runtime_writable(agent.get(), "keepalive-conncheck", G_TYPE_BOOLEAN)) {
        g_object_set(agent.get(), "keepalive-conncheck", TRUE, nullptr);
    } else {
        OV_INFO(log::kWhip, "{}", skipped_text("keepalive-conncheck"));
    }
    if (runtime_writable(agent.get(), "stun-max-retransmissions", G_TYPE_UINT)) {
        g_object_set(agent.get(), "stun-max-retransmissions", 3u, nullptr);
    } else {
        OV_INFO(log::kWhip, "{}", skipped_text("stun-max-retransmissions"));
    }
    return std::nullopt;
}

}  // namespace ov::whip
