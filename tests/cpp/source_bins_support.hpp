#pragma once

// Helpers of the source bin tests: reading a bin back, running it into an
// appsink on the wall clock (as live streams run), capturing log records and
// media files made by ffmpeg.

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/log.hpp"
#include "core/source.hpp"
#include "gst/element.hpp"
#include "media/source_bins.hpp"
#include "media/source_timestamp.hpp"
#include "media_test_support.hpp"
#include "test_peers.hpp"

namespace ov::test {

using namespace std::chrono_literals;

inline gst::ElementPtr build_ok(const SourceKind& source, Codec codec = Codec::H264) {
    auto result = media::build_src_bin(source, codec);
    if (!result) throw std::runtime_error("unexpected build error: " + result.error().message);
    return std::move(result).value();
}

inline std::string build_error(const SourceKind& source, Codec codec = Codec::H264) {
    const auto result = media::build_src_bin(source, codec);
    return result ? std::string("<built>") : result.error().message;
}

// The bin's children in the order they were added (the chain order of every
// source bin). GStreamer iterates the most recently added child first.
inline std::vector<gst::ElementPtr> children(GstElement* bin) {
    std::vector<gst::ElementPtr> out;
    for (GList* l = GST_BIN_CHILDREN(GST_BIN(bin)); l != nullptr; l = l->next) {
        out.insert(out.begin(), gst::ElementPtr::ref(GST_ELEMENT(l->data)));
    }
    return out;
}

inline std::vector<std::string> factories(GstElement* bin) {
    std::vector<std::string> names;
    for (const auto& child : children(bin)) names.push_back(factory_of(child.get()));
    return names;
}

inline gst::ElementPtr child_of(GstElement* bin, const std::string& factory) {
    for (auto& child : children(bin)) {
        if (factory_of(child.get()) == factory) return child;
    }
    return {};
}

// The element whose pad the bin's "src" ghost pad exposes.
inline gst::ElementPtr src_target(GstElement* bin) {
    const gst::PadPtr ghost = gst::static_pad(bin, "src");
    if (!ghost) return {};
    const gst::PadPtr target = gst::PadPtr::take(gst_ghost_pad_get_target(GST_GHOST_PAD(ghost.get())));
    return target ? gst::ElementPtr::take(gst_pad_get_parent_element(target.get())) : gst::ElementPtr{};
}

// Whether `upstream`'s "src" pad feeds `downstream`.
inline bool feeds(GstElement* upstream, GstElement* downstream) {
    const gst::PadPtr src = gst::static_pad(upstream, "src");
    if (!src) return false;
    const gst::PadPtr peer = gst::PadPtr::take(gst_pad_get_peer(src.get()));
    return peer && GST_OBJECT_PARENT(peer.get()) == GST_OBJECT(downstream);
}

// A property value in GStreamer's serialised form ("true", "downstream",
// "video/x-raw, width=(int)1280").
inline std::string property_text(GstElement* element, const char* name) {
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(element), name);
    if (pspec == nullptr) return "<no such property>";
    GValue value = G_VALUE_INIT;
    g_value_init(&value, pspec->value_type);
    g_object_get_property(G_OBJECT(element), name, &value);
    std::string text;
    if (G_VALUE_HOLDS_STRING(&value)) {
        text = g_value_get_string(&value) ? g_value_get_string(&value) : "";
    } else if (G_VALUE_HOLDS_ENUM(&value)) {
        auto* klass = static_cast<GEnumClass*>(g_type_class_ref(pspec->value_type));
        const GEnumValue* entry = g_enum_get_value(klass, g_value_get_enum(&value));
        text = entry ? entry->value_nick : "";
        g_type_class_unref(klass);
    } else if (G_VALUE_HOLDS(&value, GST_TYPE_CAPS)) {
        const GstCaps* caps = gst_value_get_caps(&value);
        text = caps ? gst::StringPtr::take(gst_caps_to_string(caps)).get() : "";
    } else {
        const gst::StringPtr serialised = gst::StringPtr::take(gst_value_serialize(&value));
        text = serialised ? serialised.get() : "";
    }
    g_value_unset(&value);
    return text;
}

struct Expected {
    const char* property;
    std::string text;
};

inline void expect_properties(GstElement* element, const std::vector<Expected>& expected) {
    for (const auto& [property, text] : expected) {
        EXPECT_EQ(property_text(element, property), text) << factory_of(element) << " \"" << property << "\"";
    }
}

// "pipeline": the source bin, optional elements behind it, and an appsink,
// on the real-time clock with base time 0 so that running time is time since
// the Unix epoch. Ended (NULL) when this goes.
class SourceRun {
public:
    explicit SourceRun(gst::ElementPtr src_bin, const std::vector<std::string>& between = {})
        : pipeline_(gst::ElementPtr::ref(gst_pipeline_new("pipeline"))), src_bin_(std::move(src_bin)) {
        auto clock = gst::ObjectPtr<GstClock>::ref(
            GST_CLOCK(g_object_new(GST_TYPE_SYSTEM_CLOCK, "clock-type", GST_CLOCK_TYPE_REALTIME, nullptr)));
        gst_pipeline_use_clock(GST_PIPELINE(pipeline_.get()), clock.get());
        gst_element_set_base_time(pipeline_.get(), 0);
        gst_element_set_start_time(pipeline_.get(), GST_CLOCK_TIME_NONE);

        std::vector<gst::ElementPtr> chain{src_bin_};
        for (const auto& factory : between) chain.push_back(made({factory, std::nullopt, {}}));
        appsink_ = made({"appsink", "appsink", {{"sync", false}, {"max-buffers", 100u}}});
        chain.push_back(appsink_);
        if (gst::add_elements(pipeline_.get(), chain) || gst::link_chain(chain)) {
            throw std::runtime_error("test pipeline cannot be assembled");
        }
    }
    ~SourceRun() { gst_element_set_state(pipeline_.get(), GST_STATE_NULL); }
    SourceRun(const SourceRun&) = delete;
    SourceRun& operator=(const SourceRun&) = delete;

    bool play() { return gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE; }

    // Up to `count` samples within `timeout`; stops early at end of stream or
    // at the first error on the bus, which error() then returns.
    std::vector<gst::SamplePtr> pull(size_t count, std::chrono::milliseconds timeout) {
        std::vector<gst::SamplePtr> samples;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (samples.size() < count && std::chrono::steady_clock::now() < deadline) {
            if (check_bus()) break;
            auto sample = gst::SamplePtr::take(
                gst_app_sink_try_pull_sample(GST_APP_SINK(appsink_.get()), 100 * GST_MSECOND));
            if (sample) {
                samples.push_back(std::move(sample));
            } else if (gst_app_sink_is_eos(GST_APP_SINK(appsink_.get()))) {
                break;
            }
        }
        return samples;
    }

    // The first error posted on the bus so far, "" when none.
    const std::string& error() {
        check_bus();
        return error_;
    }
    // Waits up to `timeout` for an error on the bus.
    std::string wait_error(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!check_bus() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
        return error_;
    }

    GstElement* pipeline() const { return pipeline_.get(); }
    GstElement* src_bin() const { return src_bin_.get(); }

private:
    static gst::ElementPtr made(const gst::ElementSpec& wanted) {
        auto result = gst::make_element(wanted);
        if (!result) throw std::runtime_error(result.error().message);
        return std::move(result).value();
    }

    bool check_bus() {
        if (!error_.empty()) return true;
        const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(pipeline_.get()));
        const gst::MessagePtr message = gst::MessagePtr::take(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
        if (!message) return false;
        GError* raw = nullptr;
        gst_message_parse_error(message.get(), &raw, nullptr);
        const gst::ErrorPtr owned = gst::ErrorPtr::take(raw);
        error_ = owned ? owned->message : "error without text";
        return true;
    }

    gst::ElementPtr pipeline_;
    gst::ElementPtr src_bin_;
    gst::ElementPtr appsink_;
    std::string error_;
};

inline GstBuffer* buffer_of(const gst::SamplePtr& sample) { return gst_sample_get_buffer(sample.get()); }

inline std::string media_type_of(const gst::SamplePtr& sample) {
    GstCaps* caps = gst_sample_get_caps(sample.get());
    return caps ? gst_structure_get_name(gst_caps_get_structure(caps, 0)) : "";
}

// Every sample carries a source timestamp within `slack` of the wall clock
// at the time of the check.
inline void expect_wall_clock_stamps(const std::vector<gst::SamplePtr>& samples, std::chrono::seconds slack = 5s) {
    const uint64_t now = media::wall_clock_now_ns();
    const uint64_t window = static_cast<uint64_t>(std::chrono::nanoseconds(slack).count());
    for (const auto& sample : samples) {
        const auto stamp = media::source_timestamp(buffer_of(sample));
        ASSERT_TRUE(stamp) << "a buffer without source timestamp";
        EXPECT_LT(*stamp > now ? *stamp - now : now - *stamp, window)
            << "source timestamp " << *stamp << ", now " << now;
    }
}

// A scratch directory, removed with its contents at the end.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = std::filesystem::temp_directory_path().string() + "/ov_srcbin_XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// ffmpeg quiet and non-interactive, then `args`; true when it succeeded.
inline bool ffmpeg(std::vector<std::string> args, std::chrono::milliseconds timeout = 60s) {
    std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, timeout) == 0;
}

// A set environment variable for one scope, the old value restored after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value != nullptr) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_) setenv(name_.c_str(), old_->c_str(), 1);
        else unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace ov::test
