#include "gst/caps.hpp"

namespace ov::gst {
namespace {

void set_field(GstStructure* structure, const CapsField& field) {
    GValue value = G_VALUE_INIT;
    if (const auto* text = std::get_if<std::string>(&field.value)) {
        g_value_init(&value, G_TYPE_STRING);
        g_value_set_string(&value, text->c_str());
    } else if (const auto* number = std::get_if<int32_t>(&field.value)) {
        g_value_init(&value, G_TYPE_INT);
        g_value_set_int(&value, *number);
    } else if (const auto* flag = std::get_if<bool>(&field.value)) {
        g_value_init(&value, G_TYPE_BOOLEAN);
        g_value_set_boolean(&value, *flag);
    } else if (const auto* fraction = std::get_if<Fraction>(&field.value)) {
        g_value_init(&value, GST_TYPE_FRACTION);
        gst_value_set_fraction(&value, fraction->numerator, fraction->denominator);
    } else {
        g_value_init(&value, GST_TYPE_LIST);
        for (const auto& item : std::get<TextList>(field.value)) {
            GValue entry = G_VALUE_INIT;
            g_value_init(&entry, G_TYPE_STRING);
            g_value_set_string(&entry, item.c_str());
            gst_value_list_append_and_take_value(&value, &entry);
        }
    }
    gst_structure_take_value(structure, field.name.c_str(), &value);
}

}  // namespace

CapsPtr make_caps(const std::string& media_type, const std::vector<CapsField>& fields) {
    GstStructure* structure = gst_structure_new_empty(media_type.c_str());
    for (const auto& field : fields) set_field(structure, field);
    return CapsPtr::take(gst_caps_new_full(structure, nullptr));
}

}  // namespace ov::gst
