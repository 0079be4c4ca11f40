#pragma once

// The capture-time overlay burnt into the picture by the processing chain.

#include <gst/gst.h>

#include "gst/element.hpp"

namespace ov::media {

// A "timeoverlay" that prints each frame's source timestamp as a wall-clock
// time, or its running time where the element cannot read reference
// timestamps (with a warning). Carries source timestamps across.
gst::ElementResult make_timestamp_overlay();

// The settings of make_timestamp_overlay() on an existing overlay element.
void configure_timestamp_overlay(GstElement* overlay);

// Whether `pspec` is an enumeration with a value of that nickname.
bool enum_has_nick(const GParamSpec* pspec, const char* nick);

}  // namespace ov::media
