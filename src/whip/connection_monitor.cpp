#define GST_USE_UNSTABLE_API  // the WebRTC library declares its API unstable

#include "whip/connection_monitor.hpp"

#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>

#include <memory>
#include <thread>

#include "core/log.hpp"
#include "gst/weak_ref.hpp"

namespace ov::whip {
namespace {

using MonitorPtr = std::shared_ptr<ConnectionMonitor>;

struct PeerStateHandler {
    MonitorPtr monitor;
    SenderSlot<FirstConnection> first_connection;
};

int read_enum(GstElement* element, const char* property) {
    int value = 0;
    g_object_get(element, property, &value, nullptr);
    return value;
}

void post_loss(GstElement* webrtcbin, const char* text) {
    const gst::ErrorPtr error = gst::ErrorPtr::take(g_error_new_literal(GST_LIBRARY_ERROR, GST_LIBRARY_ERROR_FAILED, text));
    // The message copies the error and is handed over whole to the bus.
    gst_element_post_message(webrtcbin,
                             gst_message_new_error_with_details(GST_OBJECT(webrtcbin), error.get(), nullptr, nullptr));
}

// Wins the one loss report of this element, or learns that it is already taken.
bool claim_loss(ConnectionMonitor& monitor) {
    bool expected = false;
    return monitor.lost.compare_exchange_strong(expected, true);
}

// Sending an event takes the element's state lock, which a thread that stops
// the element holds while it waits for the thread these notifications come
// from; so the request travels on a thread of its own.
void request_key_frame(GstElement* webrtcbin) {
    std::thread([element = gst::WeakRef<GstElement>(webrtcbin)] {
        if (const gst::ElementPtr strong = element.get()) {
            gst_element_send_event(strong.get(),
                                   gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
        }
    }).detach();
}

void watch_disconnection(GstElement* webrtcbin, const MonitorPtr& monitor, uint64_t generation) {
    std::thread([element = gst::WeakRef<GstElement>(webrtcbin), monitor, generation] {
        try {
            std::this_thread::sleep_for(monitor->grace);  // resumes after signals by itself
            const gst::ElementPtr strong = element.get();
            if (!strong || monitor->generation.load() != generation) return;
            const int peer = read_enum(strong.get(), "connection-state");
            const int ice = read_enum(strong.get(), "ice-connection-state");
            if (peer != GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED && ice != GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED) {
                return;
            }
            if (!claim_loss(*monitor)) return;
            OV_WARN(log::kWhip, "[WHIP] disconnected for {:.1f}s (peer={}, ice={}), reconnecting",
                    std::chrono::duration<double>(monitor->grace).count(), peer_state_name(peer), ice_state_name(ice));
            post_loss(strong.get(), "WHIP disconnected");
        } catch (...) {
            // A watcher that cannot format or post has nothing left to do.
        }
    }).detach();
}

void on_peer_state(GstElement* webrtcbin, GParamSpec*, gpointer data) noexcept {
    auto* handler = static_cast<PeerStateHandler*>(data);
    ConnectionMonitor& monitor = *handler->monitor;
    try {
        const int state = read_enum(webrtcbin, "connection-state");
        switch (state) {
            case GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTING:
                OV_INFO(log::kWhip, "[WHIP] ICE connecting...");
                break;
            case GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED:
                OV_INFO(log::kWhip, "[WHIP] Connected");
                monitor.connected.store(true);
                ++monitor.generation;
                request_key_frame(webrtcbin);
                if (auto sender = handler->first_connection.take()) std::move(*sender).send(FirstConnection{});
                break;
            case GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED:
                if (monitor.connected.load()) watch_disconnection(webrtcbin, handler->monitor, ++monitor.generation);
                break;
            case GST_WEBRTC_PEER_CONNECTION_STATE_FAILED:
            case GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED:
                if (!monitor.connected.load()) {
                    if (auto sender = handler->first_connection.take()) {
                        std::move(*sender).send(FirstConnection{"peer connection " + peer_state_name(state)});
                    }
                } else if (claim_loss(monitor)) {
                    ++monitor.generation;
                    OV_WARN(log::kWhip, "[WHIP] Connection {}, reconnecting", peer_state_name(state));
                    post_loss(webrtcbin, "WHIP connection lost");
                }
                break;
            default:
                break;
        }
    } catch (...) {
        // Never unwind into GLib; a lost log line is the worst outcome here.
    }
}

void on_ice_state(GstElement* webrtcbin, GParamSpec*, gpointer data) noexcept {
    const MonitorPtr& monitor = *static_cast<MonitorPtr*>(data);
    // Before the first connection only the negotiation's own wait matters.
    if (!monitor->connected.load()) return;
    try {
        switch (read_enum(webrtcbin, "ice-connection-state")) {
            case GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED:
                ++monitor->generation;
                break;
            case GST_WEBRTC_ICE_CONNECTION_STATE_FAILED:
                if (claim_loss(*monitor)) {
                    ++monitor->generation;
                    OV_WARN(log::kWhip, "[WHIP] ICE failed, reconnecting");
                    post_loss(webrtcbin, "WHIP ICE lost");
                }
                break;
            case GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED:
                watch_disconnection(webrtcbin, monitor, ++monitor->generation);
                break;
            default:
                break;
        }
    } catch (...) {
        // Never unwind into GLib.
    }
}

std::string enum_name(int state, std::initializer_list<const char*> names) {
    if (state >= 0 && static_cast<size_t>(state) < names.size()) return names.begin()[state];
    return fmt::format("__Unknown({})", state);
}

}  // namespace

std::string peer_state_name(int state) {
    return enum_name(state, {"New", "Connecting", "Connected", "Disconnected", "Failed", "Closed"});
}

std::string ice_state_name(int state) {
    return enum_name(state, {"New", "Checking", "Connected", "Completed", "Failed", "Disconnected", "Closed"});
}

void watch_connection(GstElement* webrtcbin, std::chrono::nanoseconds grace,
                      OneShotSender<FirstConnection> first_connection) {
    auto monitor = std::make_shared<ConnectionMonitor>(grace);
    g_signal_connect_data(webrtcbin, "notify::connection-state", G_CALLBACK(on_peer_state),
                          new PeerStateHandler{monitor, SenderSlot<FirstConnection>(std::move(first_connection))},
                          [](gpointer data, GClosure*) { delete static_cast<PeerStateHandler*>(data); },
                          GConnectFlags{});
    g_signal_connect_data(webrtcbin, "notify::ice-connection-state", G_CALLBACK(on_ice_state),
                          new MonitorPtr(std::move(monitor)),
                          [](gpointer data, GClosure*) { delete static_cast<MonitorPtr*>(data); }, GConnectFlags{});
}

}  // namespace ov::whip
