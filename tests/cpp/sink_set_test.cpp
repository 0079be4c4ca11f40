#include <gtest/gtest.h>

#include "core/sink.hpp"

namespace ov {
namespace {

TEST(SinkSet, ListOfOneIsTheSinkItself) {
    const SinkSet set = make_sink_set({sink::Fake{}});
    ASSERT_TRUE(std::holds_alternative<SinkKind>(set));
    EXPECT_EQ(sink_list(set).size(), 1u);
}

TEST(SinkSet, Rules) {
    const std::pair<std::vector<SinkKind>, std::optional<std::string>> cases[] = {
        {{}, "sink list is empty"},
        {{sink::App{}, sink::AppEncoded{}}, "cannot use both Sink::App and Sink::AppEncoded in multi-sink"},
        {{sink::App{}, sink::App{}}, "at most one Sink::App or Sink::AppEncoded allowed in multi-sink"},
        {{sink::AppEncoded{}, sink::AppEncoded{}, sink::Display{}, sink::Display{}},
         "at most one Sink::App or Sink::AppEncoded allowed in multi-sink"},
        {{sink::Display{}, sink::Display{}}, "at most one Sink::Display allowed in multi-sink"},
        {{sink::Display{}, sink::App{}, sink::Fake{}, sink::File{"a.mp4"}}, std::nullopt},
        {{sink::Display{}}, std::nullopt},
    };
    for (const auto& [sinks, expected] : cases) EXPECT_EQ(check_sink_set(make_sink_set(sinks)), expected);
}

}  // namespace
}  // namespace ov
