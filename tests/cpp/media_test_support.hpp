#pragma once

// Small helpers of the media tests: log capture, walking a bin in link order,
// reading properties back, running a pipeline to its end, and ffprobe.

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/log.hpp"
#include "gst/element.hpp"

namespace ov::test {

// Records from any thread, streaming threads included, while it lives.
class LogCapture : public log::Sink {
public:
    LogCapture() { log::install_sink(this); }
    ~LogCapture() override { log::install_sink(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void write(const log::Record& record) noexcept override {
        try {
            const std::lock_guard lock(mutex_);  // guards entries_
            entries_.push_back({record.level, std::string(record.target), record.message});
        } catch (...) {
        }
    }

    struct Entry {
        log::Level level;
        std::string target;
        std::string message;
    };
    std::vector<Entry> entries() const {
        const std::lock_guard lock(mutex_);
        return entries_;
    }
    std::vector<std::string> messages(log::Level level) const {
        std::vector<std::string> out;
        for (const auto& entry : entries()) {
            if (entry.level == level) out.push_back(entry.message);
        }
        return out;
    }
    size_t count(const std::string& message) const {
        size_t n = 0;
        for (const auto& entry : entries()) n += entry.message == message ? 1 : 0;
        return n;
    }
    size_t count(log::Level level, const std::string& message) const {
        size_t n = 0;
        for (const auto& entry : entries()) n += (entry.level == level && entry.message == message) ? 1 : 0;
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

inline gst::ElementPtr make(const gst::ElementSpec& wanted) {
    auto result = gst::make_element(wanted);
    if (!result) throw std::runtime_error(result.error().message);
    return std::move(result).value();
}

// The factory that made the element; "bin" for plain bins.
inline std::string factory_of(GstElement* element) {
    GstElementFactory* factory = gst_element_get_factory(element);
    return factory ? GST_OBJECT_NAME(factory) : "bin";
}

inline gst::ElementPtr parent_element(GstPad* pad) {
    return gst::ElementPtr::take(gst_pad_get_parent_element(pad));
}

// The children of `bin` in link order: from the element behind the bin's
// ghost "sink" pad (or its first source element) along every linked source
// pad, depth first, staying inside the bin.
inline std::vector<gst::ElementPtr> chain_of(GstElement* bin) {
    std::vector<gst::ElementPtr> order;
    gst::ElementPtr start;
    if (const gst::PadPtr ghost = gst::static_pad(bin, "sink")) {
        const gst::PadPtr target = gst::PadPtr::take(gst_ghost_pad_get_target(GST_GHOST_PAD(ghost.get())));
        if (target) start = parent_element(target.get());
    }
    if (!start) return order;
    const auto visit = [&](auto&& self, const gst::ElementPtr& element) -> void {
        for (const auto& seen : order) {
            if (seen.get() == element.get()) return;
        }
        order.push_back(element);
        for (GList* l = GST_ELEMENT(element.get())->srcpads; l != nullptr; l = l->next) {
            const gst::PadPtr peer = gst::PadPtr::take(gst_pad_get_peer(GST_PAD(l->data)));
            if (!peer) continue;
            gst::ElementPtr next = parent_element(peer.get());
            if (next && GST_OBJECT_PARENT(next.get()) == GST_OBJECT(bin)) self(self, next);
        }
    };
    visit(visit, start);
    return order;
}

inline std::vector<std::string> factories(const std::vector<gst::ElementPtr>& chain) {
    std::vector<std::string> names;
    for (const auto& element : chain) names.push_back(factory_of(element.get()));
    return names;
}

// Sets the pipeline to NULL when the test leaves the scope, failed
// assertions included. Declare it after the pipeline's handle.
class StopAtExit {
public:
    explicit StopAtExit(GstElement* pipeline) : pipeline_(pipeline) {}
    ~StopAtExit() { gst_element_set_state(pipeline_, GST_STATE_NULL); }
    StopAtExit(const StopAtExit&) = delete;
    StopAtExit& operator=(const StopAtExit&) = delete;

private:
    GstElement* pipeline_;
};

inline gst::ElementPtr make_pipeline() { return gst::ElementPtr::ref(gst_pipeline_new("pipeline")); }

inline gst::ElementPtr by_name(GstElement* bin, const char* name) {
    return gst::ElementPtr::take(gst_bin_get_by_name(GST_BIN(bin), name));
}

// The first element in `bin` (recursively) made by `factory`.
inline gst::ElementPtr find_factory(GstElement* bin, const char* factory) {
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(bin));
    GValue item = G_VALUE_INIT;
    gst::ElementPtr found;
    while (!found && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto* element = GST_ELEMENT(g_value_get_object(&item));
        if (factory_of(element) == factory) found = gst::ElementPtr::ref(element);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

inline int get_int(GstElement* e, const char* name) {
    gint v = 0;
    g_object_get(e, name, &v, nullptr);
    return v;
}
inline unsigned get_uint(GstElement* e, const char* name) {
    guint v = 0;
    g_object_get(e, name, &v, nullptr);
    return v;
}
inline bool get_bool(GstElement* e, const char* name) {
    gboolean v = FALSE;
    g_object_get(e, name, &v, nullptr);
    return v != FALSE;
}
inline std::string get_string(GstElement* e, const char* name) {
    gchar* v = nullptr;
    g_object_get(e, name, &v, nullptr);
    const gst::StringPtr owned = gst::StringPtr::take(v);
    return owned ? owned.get() : "";
}
// The nickname of an enumeration property's current value.
inline std::string get_enum_nick(GstElement* e, const char* name) {
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(e), name);
    GValue value = G_VALUE_INIT;
    g_value_init(&value, pspec->value_type);
    g_object_get_property(G_OBJECT(e), name, &value);
    auto* klass = static_cast<GEnumClass*>(g_type_class_ref(pspec->value_type));
    const GEnumValue* entry = g_enum_get_value(klass, g_value_get_enum(&value));
    std::string nick = entry ? entry->value_nick : "";
    g_type_class_unref(klass);
    g_value_unset(&value);
    return nick;
}
inline std::string caps_text(GstCaps* caps) {
    const gst::StringPtr text = gst::StringPtr::take(gst_caps_to_string(caps));
    return text.get();
}
inline std::string get_caps(GstElement* e, const char* name) {
    GstCaps* caps = nullptr;
    g_object_get(e, name, &caps, nullptr);
    const gst::CapsPtr owned = gst::CapsPtr::take(caps);
    return owned ? caps_text(owned.get()) : "";
}

inline std::string pad_name(GstPad* pad) {
    const gst::StringPtr name = gst::StringPtr::take(gst_pad_get_name(pad));
    return name.get();
}

// The element and pad the bin's ghost pad `name` leads to.
inline std::pair<gst::ElementPtr, std::string> ghost_target(GstElement* bin, const char* name) {
    const gst::PadPtr ghost = gst::static_pad(bin, name);
    if (!ghost) return {};
    const gst::PadPtr target = gst::PadPtr::take(gst_ghost_pad_get_target(GST_GHOST_PAD(ghost.get())));
    if (!target) return {};
    return {parent_element(target.get()), pad_name(target.get())};
}

// Plays the pipeline until end of stream or an error, at most `timeout`.
// Returns the error text, "timeout", or "" after end of stream. Leaves the
// pipeline in NULL.
inline std::string run_to_end(GstElement* pipeline, GstClockTime timeout = 60 * GST_SECOND) {
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) return "state change failed";
    const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(pipeline));
    const gst::MessagePtr message = gst::MessagePtr::take(gst_bus_timed_pop_filtered(
        bus.get(), timeout, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    std::string outcome;
    if (!message) {
        outcome = "timeout";
    } else if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
        GError* error = nullptr;
        gst_message_parse_error(message.get(), &error, nullptr);
        const gst::ErrorPtr owned = gst::ErrorPtr::take(error);
        outcome = std::string("error: ") + owned->message;
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    return outcome;
}

// Samples an appsink hands out, up to `at_most`; stops at the end of the
// stream or after 10 s without one.
inline std::vector<gst::SamplePtr> pull_all(GstElement* appsink, size_t at_most) {
    std::vector<gst::SamplePtr> samples;
    while (samples.size() < at_most) {
        gst::SamplePtr sample =
            gst::SamplePtr::take(gst_app_sink_try_pull_sample(GST_APP_SINK(appsink), 10 * GST_SECOND));
        if (!sample) break;
        samples.push_back(std::move(sample));
    }
    return samples;
}

// The buffer's source timestamp, read with GStreamer's own meta lookup.
inline std::optional<uint64_t> capture_time(GstBuffer* buffer) {
    const gst::CapsPtr caps = gst::CapsPtr::take(gst_caps_new_empty_simple("timestamp/x-ntp"));
    GstReferenceTimestampMeta* meta = gst_buffer_get_reference_timestamp_meta(buffer, caps.get());
    if (meta == nullptr) return std::nullopt;
    return meta->timestamp;
}

// Standard output of a shell command.
inline std::string command_output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char chunk[4096];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    pclose(pipe);
    return out;
}

// A fresh directory under TMPDIR (or /tmp), removed with its files at the end.
class TempDir {
public:
    TempDir() {
        const char* base = g_getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/ov_media_XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
    }
    ~TempDir() {
        if (!path_.empty()) command_output("rm -rf '" + path_ + "'");
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace ov::test
