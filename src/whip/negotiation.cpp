#include "whip/webrtc_handles.hpp"  // first: it enables the WebRTC headers

#include <fmt/format.h>

#include <string_view>

#include "whip/connection_monitor.hpp"
#include "whip/http_post.hpp"
#include "whip/http_status.hpp"
#include "whip/ice_tuning.hpp"
#include "whip/offer_fixup.hpp"
#include "whip/oneshot.hpp"
#include "whip/session.hpp"

namespace ov::whip {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kGatheringLimit = 10s;
constexpr auto kConnectionLimit = 30s;
constexpr const char* kCanceled = "oneshot canceled";

struct Gathered {};
using OfferOutcome = Result<SessionDescriptionPtr, std::string>;

// Runs on a webrtcbin thread for every change of the gathering state.
void on_gathering_state(GstElement* webrtcbin, GParamSpec*, gpointer data) noexcept {
    int state = 0;
    g_object_get(webrtcbin, "ice-gathering-state", &state, nullptr);
    if (state != GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE) return;
    try {
        if (auto sender = static_cast<SenderSlot<Gathered>*>(data)->take()) std::move(*sender).send(Gathered{});
    } catch (...) {
        // Only a failing mutex gets here; the negotiation then runs into its limit.
    }
}

OneShotReceiver<Gathered> watch_gathering(GstElement* webrtcbin) {
    auto [sender, receiver] = make_oneshot<Gathered>();
    g_signal_connect_data(webrtcbin, "notify::ice-gathering-state", G_CALLBACK(on_gathering_state),
                          new SenderSlot<Gathered>(std::move(sender)),
                          [](gpointer data, GClosure*) { delete static_cast<SenderSlot<Gathered>*>(data); },
                          GConnectFlags{});
    return std::move(receiver);
}

std::optional<OfferOutcome> offer_from_reply(const GstStructure* reply) {
    if (reply == nullptr) return std::nullopt;  // closes the channel: "oneshot canceled"
    const GValue* offer = gst_structure_get_value(reply, "offer");
    if (offer != nullptr && G_VALUE_HOLDS(offer, GST_TYPE_WEBRTC_SESSION_DESCRIPTION) && g_value_get_boxed(offer)) {
        return OfferOutcome(SessionDescriptionPtr::ref(
            static_cast<GstWebRTCSessionDescription*>(g_value_get_boxed(offer))));
    }
    const GValue* error = gst_structure_get_value(reply, "error");
    if (error != nullptr && G_VALUE_HOLDS(error, G_TYPE_ERROR) && g_value_get_boxed(error)) {
        return OfferOutcome(
            fmt::format("could not create offer: {}", static_cast<const GError*>(g_value_get_boxed(error))->message));
    }
    return OfferOutcome(std::string("could not create offer: the reply carries no offer"));
}

// The change function of the "create-offer" promise, on a webrtcbin thread.
void on_offer(GstPromise* promise, gpointer data) noexcept {
    try {
        auto sender = static_cast<SenderSlot<OfferOutcome>*>(data)->take();
        if (!sender) return;
        switch (gst_promise_wait(promise)) {  // already settled: returns at once
            case GST_PROMISE_RESULT_REPLIED:
                if (auto outcome = offer_from_reply(gst_promise_get_reply(promise))) {
                    std::move(*sender).send(std::move(*outcome));
                }
                break;
            case GST_PROMISE_RESULT_INTERRUPTED:
                std::move(*sender).send(OfferOutcome(std::string("could not create offer: request interrupted")));
                break;
            case GST_PROMISE_RESULT_EXPIRED:
                std::move(*sender).send(OfferOutcome(std::string("could not create offer: request expired")));
                break;
            default:
                break;
        }
    } catch (...) {
        // The sender, dropped on the way out, closes the channel.
    }
}

OfferOutcome create_offer(GstElement* webrtcbin) {
    auto [sender, receiver] = make_oneshot<OfferOutcome>();
    const PromisePtr promise = PromisePtr::take(gst_promise_new_with_change_func(
        on_offer, new SenderSlot<OfferOutcome>(std::move(sender)),
        [](gpointer data) { delete static_cast<SenderSlot<OfferOutcome>*>(data); }));
    g_signal_emit_by_name(webrtcbin, "create-offer", nullptr, promise.get());
    std::optional<OfferOutcome> outcome;
    if (receiver.wait(outcome) != Received::Value) return std::string(kCanceled);
    if (outcome->ok() && gst_sdp_message_medias_len(outcome->value()->sdp) == 0) {
        return std::string("could not create offer: it has no media (the RTP input has no caps yet)");
    }
    return std::move(*outcome);
}

std::optional<std::string> wait_for_gathering(OneShotReceiver<Gathered>& gathering, Clock::time_point deadline) {
    std::optional<Gathered> done;
    switch (gathering.wait_until(deadline, done)) {
        case Received::Value: return std::nullopt;
        case Received::Closed: return std::string(kCanceled);
        case Received::TimedOut: break;
    }
    return std::string("ICE gathering timed out after 10s");
}

std::optional<std::string> sdp_text(GstElement* webrtcbin, std::string& out) {
    GstWebRTCSessionDescription* raw = nullptr;
    g_object_get(webrtcbin, "local-description", &raw, nullptr);
    const SessionDescriptionPtr local = SessionDescriptionPtr::take(raw);
    if (!local || local->sdp == nullptr) return std::string("No local description after ICE gathering");
    const gst::StringPtr text = gst::StringPtr::take(gst_sdp_message_as_text(local->sdp));
    out = text ? text.get() : "";
    return std::nullopt;
}

// GStreamer's SDP parser takes almost any text; an answer must at least start
// like SDP and describe the media it accepts.
Result<SessionDescriptionPtr, std::string> parse_answer(const std::string& body) {
    const std::string_view text = std::string_view(body).substr(std::min(body.find_first_not_of(" \t\r\n"), body.size()));
    if (!text.starts_with("v=")) return std::string("WHIP server answer is not SDP");
    GstSDPMessage* raw = nullptr;
    gst_sdp_message_new(&raw);
    SdpMessagePtr message = SdpMessagePtr::take(raw);
    if (gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(text.data()), static_cast<guint>(text.size()),
                                     message.get()) != GST_SDP_OK) {
        return std::string("WHIP server answer is not SDP");
    }
    if (gst_sdp_message_medias_len(message.get()) == 0) {
        return std::string("WHIP server answer is not SDP: it has no media section");
    }
    return SessionDescriptionPtr::take(gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, message.release()));
}

std::optional<std::string> wait_for_connection(OneShotReceiver<FirstConnection>& connection, Clock::time_point deadline) {
    std::optional<FirstConnection> outcome;
    switch (connection.wait_until(deadline, outcome)) {
        case Received::Value: return outcome->error;
        case Received::Closed: return std::string(kCanceled);
        case Received::TimedOut: break;
    }
    return std::string("connection timed out after 30s");
}

}  // namespace

std::optional<std::string> negotiate_whip(GstElement* webrtcbin, const WhipTarget& target,
                                          std::chrono::nanoseconds disconnect_grace) {
    if (target.stun_server) g_object_set(webrtcbin, "stun-server", target.stun_server->c_str(), nullptr);
    if (auto error = tune_ice_agent(webrtcbin)) return error;
    OneShotReceiver<Gathered> gathering = watch_gathering(webrtcbin);

    OfferOutcome offer = create_offer(webrtcbin);
    if (!offer) return offer.take_error();
    declare_h264_packetization(offer.value()->sdp);
    g_signal_emit_by_name(webrtcbin, "set-local-description", offer.value().get(), nullptr);
    if (auto error = wait_for_gathering(gathering, Clock::now() + kGatheringLimit)) return error;

    std::string local_sdp;
    if (auto error = sdp_text(webrtcbin, local_sdp)) return error;
    auto reply = post_offer(OfferPost{target.endpoint, target.token, std::move(local_sdp)});
    if (!reply) return reply.take_error();
    const HttpReply& response = reply.value();
    if (response.status < 200 || response.status > 299) {
        return rejection_text(response.status, response.body_error ? std::string_view{} : std::string_view{response.body});
    }
    if (response.body_error) return *response.body_error;
    auto answer = parse_answer(response.body);
    if (!answer) return answer.take_error();

    auto [first_sender, first_connection] = make_oneshot<FirstConnection>();
    watch_connection(webrtcbin, disconnect_grace, std::move(first_sender));
    g_signal_emit_by_name(webrtcbin, "set-remote-description", answer.value().get(), nullptr);
    return wait_for_connection(first_connection, Clock::now() + kConnectionLimit);
}

}  // namespace ov::whip
