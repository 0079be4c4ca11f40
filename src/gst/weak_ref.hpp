#pragma once

// A weak reference to a GObject, for callbacks and threads that must not keep
// an element or a pipeline alive.

#include <glib-object.h>

#include "gst/handle.hpp"

namespace ov::gst {

template <class T>
class WeakRef {
public:
    WeakRef() { g_weak_ref_init(&ref_, nullptr); }
    explicit WeakRef(T* object) { g_weak_ref_init(&ref_, object); }
    ~WeakRef() { g_weak_ref_clear(&ref_); }
    WeakRef(const WeakRef& other) {
        g_weak_ref_init(&ref_, nullptr);
        const ObjectPtr<T> target = other.get();
        g_weak_ref_set(&ref_, target.get());
    }
    WeakRef& operator=(const WeakRef& other) {
        const ObjectPtr<T> target = other.get();
        g_weak_ref_set(&ref_, target.get());
        return *this;
    }

    // A strong reference, or empty when the object is gone.
    ObjectPtr<T> get() const { return ObjectPtr<T>::take(static_cast<T*>(g_weak_ref_get(const_cast<GWeakRef*>(&ref_)))); }

private:
    GWeakRef ref_;
};

}  // namespace ov::gst
