#include "gst/element.hpp"

#include <fmt/format.h>

namespace ov::gst {
namespace {

GType value_type(const PropertyValue& value) {
    switch (value.index()) {
        case 0: return G_TYPE_UINT;
        case 1: return G_TYPE_INT;
        case 2: return G_TYPE_BOOLEAN;
        case 3: return G_TYPE_STRING;
        default: return GST_TYPE_CAPS;
    }
}

// Fills `out` (uninitialised) with a typed value, after checking it against
// the declaration. `type_name` names the element type in fault texts.
void typed_value(GParamSpec* pspec, const PropertyValue& value, const char* type_name, GValue* out) {
    const GType given = value_type(value);
    if (!g_value_type_compatible(given, pspec->value_type)) {
        throw InternalFault(fmt::format(
            "property '{}' of type '{}' can't be set from the given type (expected: '{}', got: '{}')", pspec->name,
            type_name, g_type_name(pspec->value_type), g_type_name(given)));
    }
    g_value_init(out, given);
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, uint32_t>) g_value_set_uint(out, v);
            else if constexpr (std::is_same_v<T, int32_t>) g_value_set_int(out, v);
            else if constexpr (std::is_same_v<T, bool>) g_value_set_boolean(out, v);
            else if constexpr (std::is_same_v<T, std::string>) g_value_set_string(out, v.c_str());
            else if constexpr (std::is_same_v<T, CapsPtr>) gst_value_set_caps(out, v.get());
        },
        value);
}

// Deserialises `text` into `out` (uninitialised) for the property; false when it does not convert.
bool value_from_string(GParamSpec* pspec, const std::string& text, GValue* out) {
    g_value_init(out, pspec->value_type);
    if (text == "NULL" && G_TYPE_IS_BOXED(pspec->value_type)) return true;  // a structure set to nothing
    if (gst_value_deserialize_with_pspec(out, text.c_str(), pspec)) return true;
    g_value_unset(out);
    return false;
}

class ValueArray {
public:
    ~ValueArray() {
        for (auto& v : values) g_value_unset(&v);
    }
    std::vector<const char*> names;
    std::vector<GValue> values;
};

}  // namespace

ElementResult make_element(const ElementSpec& wanted) {
    const FactoryPtr factory = FactoryPtr::take(gst_element_factory_find(wanted.factory.c_str()));
    if (!factory) {
        return OV_BUILD_ERROR(
            fmt::format("Failed to find element factory with name '{}' for creating element", wanted.factory));
    }
    const FactoryPtr loaded = FactoryPtr::take(
        GST_ELEMENT_FACTORY(gst_plugin_feature_load(GST_PLUGIN_FEATURE(factory.get()))));
    if (!loaded) {
        return OV_BUILD_ERROR(fmt::format("Failed to load element factory '{}' for creating element", wanted.factory));
    }
    const GType type = gst_element_factory_get_element_type(loaded.get());
    auto* klass = static_cast<GObjectClass*>(g_type_class_ref(type));
    struct ClassRef {
        GObjectClass* klass;
        ~ClassRef() { g_type_class_unref(klass); }
    } class_ref{klass};

    ValueArray args;
    args.values.reserve(wanted.properties.size() + 1);
    for (const auto& property : wanted.properties) {
        GParamSpec* pspec = g_object_class_find_property(klass, property.name.c_str());
        GValue value = G_VALUE_INIT;
        if (const auto* text = std::get_if<FromString>(&property.value)) {
            if (pspec == nullptr) {
                throw InternalFault(fmt::format("property '{}' of element factory '{}' not found", property.name,
                                                wanted.factory));
            }
            if (!value_from_string(pspec, text->text, &value)) {
                throw InternalFault(fmt::format("property '{}' of element factory '{}' can't be set from string '{}'",
                                                property.name, wanted.factory, text->text));
            }
        } else {
            if (pspec == nullptr) {
                throw InternalFault(
                    fmt::format("property '{}' of type '{}' not found", property.name, g_type_name(type)));
            }
            typed_value(pspec, property.value, g_type_name(type), &value);
        }
        args.names.push_back(property.name.c_str());
        args.values.push_back(value);
    }
    if (wanted.name) {
        GValue name = G_VALUE_INIT;
        g_value_init(&name, G_TYPE_STRING);
        g_value_set_string(&name, wanted.name->c_str());
        args.names.push_back("name");
        args.values.push_back(name);
    }
    GstElement* element = gst_element_factory_create_with_properties(
        loaded.get(), static_cast<guint>(args.names.size()), args.names.data(), args.values.data());
    if (element == nullptr) {
        return OV_BUILD_ERROR(fmt::format("Failed to create element from factory '{}'", wanted.factory));
    }
    return ElementPtr::ref(element);  // sinks the floating reference: the caller owns it
}

ElementPtr make_bin(const std::optional<std::string>& name) {
    return ElementPtr::ref(gst_bin_new(name ? name->c_str() : nullptr));
}

Status add_elements(GstElement* bin, std::span<const ElementPtr> elements) {
    for (const auto& element : elements) {
        if (!gst_bin_add(GST_BIN(bin), element.get())) return OV_BUILD_ERROR("Failed to add elements");
    }
    return std::nullopt;
}

Status add_element(GstElement* bin, GstElement* element) {
    if (!gst_bin_add(GST_BIN(bin), element)) return OV_BUILD_ERROR("Failed to add element");
    return std::nullopt;
}

std::string element_name(GstElement* element) {
    const StringPtr name = StringPtr::take(gst_element_get_name(element));
    return name ? name.get() : "";
}

Status link(GstElement* upstream, GstElement* downstream) {
    if (gst_element_link(upstream, downstream)) return std::nullopt;
    return OV_BUILD_ERROR(
        fmt::format("Failed to link elements '{}' and '{}'", element_name(upstream), element_name(downstream)));
}

Status link_chain(std::span<const ElementPtr> elements) {
    for (size_t i = 1; i < elements.size(); ++i) {
        if (auto error = link(elements[i - 1].get(), elements[i].get())) return error;
    }
    return std::nullopt;
}

Result<PadPtr, BuildError> ghost_pad_for(GstPad* target) {
    const GstPadDirection direction = gst_pad_get_direction(target);
    const char* name = direction == GST_PAD_SRC ? "src" : direction == GST_PAD_SINK ? "sink" : "ghost";
    PadPtr ghost = PadPtr::ref(gst_ghost_pad_new_no_target(name, direction));
    if (!gst_ghost_pad_set_target(GST_GHOST_PAD(ghost.get()), target)) return OV_BUILD_ERROR("Failed to set target");
    return ghost;
}

Status add_pad(GstElement* bin, PadPtr pad) {
    if (!gst_element_add_pad(bin, pad.get())) return OV_BUILD_ERROR("Failed to add pad");
    return std::nullopt;
}

Status expose_pad(GstElement* bin, GstPad* target) {
    auto ghost = ghost_pad_for(target);
    if (!ghost) return ghost.take_error();
    return add_pad(bin, std::move(ghost).value());
}

PadPtr static_pad(GstElement* element, const char* name) {
    return PadPtr::take(gst_element_get_static_pad(element, name));
}

PadPtr required_pad(GstElement* element, const char* name) {
    PadPtr pad = static_pad(element, name);
    if (!pad) throw InternalFault(fmt::format("element '{}' has no '{}' pad", element_name(element), name));
    return pad;
}

bool has_property(GstElement* element, const char* name) {
    return g_object_class_find_property(G_OBJECT_GET_CLASS(element), name) != nullptr;
}

void set_property(GstElement* element, const std::string& name, const PropertyValue& value) {
    const char* type_name = G_OBJECT_TYPE_NAME(element);
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(element), name.c_str());
    if (pspec == nullptr) throw InternalFault(fmt::format("property '{}' of type '{}' not found", name, type_name));
    GValue converted = G_VALUE_INIT;
    typed_value(pspec, value, type_name, &converted);
    GValue checked = G_VALUE_INIT;
    g_value_init(&checked, pspec->value_type);
    g_value_copy(&converted, &checked);
    const bool invalid = g_param_value_validate(pspec, &checked);
    g_value_unset(&checked);
    if (invalid) {
        g_value_unset(&converted);
        throw InternalFault(fmt::format(
            "property '{}' of type '{}' can't be set from given value, it is invalid or out of range", name, type_name));
    }
    g_object_set_property(G_OBJECT(element), name.c_str(), &converted);
    g_value_unset(&converted);
}

void set_property_from_string(GstElement* element, const std::string& name, const std::string& text) {
    const char* type_name = G_OBJECT_TYPE_NAME(element);
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(element), name.c_str());
    if (pspec == nullptr) throw InternalFault(fmt::format("property '{}' of type '{}' not found", name, type_name));
    GValue value = G_VALUE_INIT;
    if (!value_from_string(pspec, text, &value)) {
        throw InternalFault(
            fmt::format("property '{}' of type '{}' can't be set from string '{}'", name, type_name, text));
    }
    g_object_set_property(G_OBJECT(element), name.c_str(), &value);
    g_value_unset(&value);
}

}  // namespace ov::gst
