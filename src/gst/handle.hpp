#pragma once

// One owning handle for every GLib/GObject/GStreamer handle family. Each call
// site states the transfer: Handle::take() adopts a reference the caller owns,
// Handle::ref() adds one.

#include <glib-object.h>
#include <gst/gst.h>

#include <utility>

namespace ov::gst {

template <class T, class Traits>
class Handle {
public:
    Handle() = default;
    Handle(std::nullptr_t) {}
    ~Handle() { reset(); }

    Handle(const Handle& other) : ptr_(other.ptr_ ? Traits::ref(other.ptr_) : nullptr) {}
    Handle& operator=(const Handle& other) {
        if (this != &other) *this = Handle(other);
        return *this;
    }
    Handle(Handle&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }

    // Adopts a reference the caller owns (a "transfer full" return value).
    [[nodiscard]] static Handle take(T* ptr) {
        Handle h;
        h.ptr_ = ptr;
        return h;
    }
    // Adds a reference of our own (a "transfer none" value). Floating GObject
    // references are sunk, so a fresh element can be held before a bin adopts it.
    [[nodiscard]] static Handle ref(T* ptr) {
        Handle h;
        h.ptr_ = ptr ? Traits::ref(ptr) : nullptr;
        return h;
    }

    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    // Hands our reference to the caller.
    [[nodiscard]] T* release() { return std::exchange(ptr_, nullptr); }
    void reset() {
        if (ptr_) Traits::unref(std::exchange(ptr_, nullptr));
    }

private:
    T* ptr_ = nullptr;
};

template <class T>
struct ObjectTraits {
    static T* ref(T* p) { return static_cast<T*>(g_object_ref_sink(p)); }
    static void unref(T* p) { g_object_unref(p); }
};

template <class T>
struct MiniObjectTraits {
    static T* ref(T* p) { return reinterpret_cast<T*>(gst_mini_object_ref(GST_MINI_OBJECT_CAST(p))); }
    static void unref(T* p) { gst_mini_object_unref(GST_MINI_OBJECT_CAST(p)); }
};

struct ErrorTraits {
    static GError* ref(GError* p) { return g_error_copy(p); }
    static void unref(GError* p) { g_error_free(p); }
};

struct StringTraits {
    static gchar* ref(gchar* p) { return g_strdup(p); }
    static void unref(gchar* p) { g_free(p); }
};

template <class T>
using ObjectPtr = Handle<T, ObjectTraits<T>>;
template <class T>
using MiniPtr = Handle<T, MiniObjectTraits<T>>;

using ElementPtr = ObjectPtr<GstElement>;
using PadPtr = ObjectPtr<GstPad>;
using BusPtr = ObjectPtr<GstBus>;
using FactoryPtr = ObjectPtr<GstElementFactory>;
using CapsPtr = MiniPtr<GstCaps>;
using BufferPtr = MiniPtr<GstBuffer>;
using SamplePtr = MiniPtr<GstSample>;
using MessagePtr = MiniPtr<GstMessage>;
using EventPtr = MiniPtr<GstEvent>;
using ErrorPtr = Handle<GError, ErrorTraits>;
using StringPtr = Handle<gchar, StringTraits>;

}  // namespace ov::gst
