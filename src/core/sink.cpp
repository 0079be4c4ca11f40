#include "core/sink.hpp"

#include <algorithm>

namespace ov {

SinkSet make_sink_set(std::vector<SinkKind> sinks) {
    if (sinks.size() == 1) return SinkSet(std::in_place_index<0>, std::move(sinks.front()));
    return SinkSet(std::in_place_index<1>, std::move(sinks));
}

std::vector<SinkKind> sink_list(const SinkSet& set) {
    if (const auto* single = std::get_if<SinkKind>(&set)) return {*single};
    return std::get<std::vector<SinkKind>>(set);
}

std::optional<std::string> check_sink_set(const SinkSet& set) {
    const auto* list = std::get_if<std::vector<SinkKind>>(&set);
    if (list == nullptr) return std::nullopt;
    if (list->empty()) return "sink list is empty";
    const auto count = [&](auto tag) {
        using Kind = decltype(tag);
        return std::count_if(list->begin(), list->end(),
                             [](const SinkKind& s) { return std::holds_alternative<Kind>(s); });
    };
    const auto apps = count(sink::App{});
    const auto encoded_apps = count(sink::AppEncoded{});
    if (apps > 0 && encoded_apps > 0) return "cannot use both Sink::App and Sink::AppEncoded in multi-sink";
    if (apps + encoded_apps > 1) return "at most one Sink::App or Sink::AppEncoded allowed in multi-sink";
    if (count(sink::Display{}) > 1) return "at most one Sink::Display allowed in multi-sink";
    return std::nullopt;
}

}  // namespace ov
