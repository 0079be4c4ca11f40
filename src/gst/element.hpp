#pragma once

// The construction helpers every builder is written in: elements from factory
// names with construction properties, bins, links, ghost pads and properties.
// Ordinary failures are BuildError values with the texts users see; broken
// invariants (unknown properties, wrong value types) throw InternalFault.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/errors.hpp"
#include "core/result.hpp"
#include "gst/handle.hpp"

namespace ov::gst {

// A text that GStreamer converts to the property's own type ("leaky" "2").
struct FromString {
    std::string text;
};

using PropertyValue = std::variant<uint32_t, int32_t, bool, std::string, CapsPtr, FromString>;

struct Property {
    std::string name;
    PropertyValue value;
};

struct ElementSpec {
    std::string factory;
    std::optional<std::string> name;  // GStreamer names it "<factory><n>" otherwise
    std::vector<Property> properties;
};

using ElementResult = Result<ElementPtr, BuildError>;
using Status = std::optional<BuildError>;  // nullopt: success

ElementResult make_element(const ElementSpec& wanted);
ElementPtr make_bin(const std::optional<std::string>& name = std::nullopt);

Status add_elements(GstElement* bin, std::span<const ElementPtr> elements);
Status add_element(GstElement* bin, GstElement* element);
Status link(GstElement* upstream, GstElement* downstream);
Status link_chain(std::span<const ElementPtr> elements);

// A ghost pad named after the direction of `target` ("src", "sink", "ghost").
Result<PadPtr, BuildError> ghost_pad_for(GstPad* target);
Status add_pad(GstElement* bin, PadPtr pad);
// Ghosts `target` and adds it to `bin` in one step.
Status expose_pad(GstElement* bin, GstPad* target);

PadPtr static_pad(GstElement* element, const char* name);
// A pad the element always has; its absence is an internal fault.
PadPtr required_pad(GstElement* element, const char* name);

void set_property(GstElement* element, const std::string& name, const PropertyValue& value);
void set_property_from_string(GstElement* element, const std::string& name, const std::string& text);
bool has_property(GstElement* element, const char* name);

// The name GStreamer currently gives the element ("queue0").
std::string element_name(GstElement* element);

}  // namespace ov::gst
