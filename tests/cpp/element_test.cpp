#include <gtest/gtest.h>

#include "gst/caps.hpp"
#include "gst/element.hpp"

namespace ov::gst {
namespace {

ElementPtr make(ElementSpec wanted) {
    auto result = make_element(wanted);
    if (!result) throw std::runtime_error(result.error().message);
    return std::move(result).value();
}

TEST(MakeElement, UnknownFactoryIsABuildError) {
    const auto result = make_element({"no_such_element_factory", std::nullopt, {}});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message,
              "Failed to find element factory with name 'no_such_element_factory' for creating element");
}

TEST(MakeElement, NameAndConstructionPropertiesFromStringAndTyped) {
    const ElementPtr queue = make({"queue", "q", {{"leaky", FromString{"2"}}, {"max-size-buffers", 1u}}});
    EXPECT_EQ(element_name(queue.get()), "q");
    gint leaky = 0;
    guint buffers = 0;
    g_object_get(queue.get(), "leaky", &leaky, "max-size-buffers", &buffers, nullptr);
    EXPECT_EQ(leaky, 2);  // downstream
    EXPECT_EQ(buffers, 1u);
    EXPECT_FALSE(g_object_is_floating(queue.get()));

    const ElementPtr source = make({"videotestsrc", std::nullopt, {{"is-live", FromString{"true"}}}});
    gboolean live = FALSE;
    g_object_get(source.get(), "is-live", &live, nullptr);
    EXPECT_TRUE(live);
}

TEST(MakeElement, PropertyFaults) {
    const std::pair<ElementSpec, const char*> cases[] = {
        {{"queue", std::nullopt, {{"no-such", FromString{"1"}}}},
         "property 'no-such' of element factory 'queue' not found"},
        {{"queue", std::nullopt, {{"leaky", FromString{"sideways"}}}},
         "property 'leaky' of element factory 'queue' can't be set from string 'sideways'"},
        {{"queue", std::nullopt, {{"no-such", 1u}}}, "property 'no-such' of type 'GstQueue' not found"},
        {{"queue", std::nullopt, {{"max-size-buffers", int32_t{1}}}},
         "property 'max-size-buffers' of type 'GstQueue' can't be set from the given type (expected: 'guint', "
         "got: 'gint')"},
    };
    for (const auto& [wanted, message] : cases) {
        try {
            (void)make_element(wanted);
            ADD_FAILURE() << "no fault for " << message;
        } catch (const InternalFault& fault) {
            EXPECT_STREQ(fault.what(), message);
        }
    }
}

TEST(Link, FailureNamesBothElementsAndStopsTheChain) {
    const ElementPtr bin = make_bin();
    std::vector<ElementPtr> chain;
    chain.push_back(make({"videotestsrc", std::nullopt, {}}));
    chain.push_back(make({"capsfilter", std::nullopt, {{"caps", make_caps("video/x-raw", {{"width", 320}})}}}));
    chain.push_back(make({"capsfilter", std::nullopt, {{"caps", make_caps("audio/x-raw")}}}));
    chain.push_back(make({"fakesink", "last", {}}));
    ASSERT_FALSE(add_elements(bin.get(), chain));
    const auto error = link_chain(chain);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, "Failed to link elements '" + element_name(chain[1].get()) + "' and '" +
                                  element_name(chain[2].get()) + "'");
    // The pair after the failure was not attempted.
    const PadPtr last_sink = static_pad(chain[3].get(), "sink");
    EXPECT_FALSE(gst_pad_is_linked(last_sink.get()));
    EXPECT_TRUE(gst_pad_is_linked(static_pad(chain[0].get(), "src").get()));
}

TEST(Link, ElementsInDifferentBinsAreRefused) {
    const ElementPtr bin = make_bin();
    const ElementPtr a = make({"videotestsrc", std::nullopt, {}});
    ASSERT_FALSE(add_element(bin.get(), a.get()));
    EXPECT_EQ(add_element(bin.get(), a.get())->message, "Failed to add element");
    const ElementPtr b = make({"fakesink", std::nullopt, {}});
    const ElementPtr first[] = {b};
    EXPECT_FALSE(add_elements(make_bin().get(), first));
    EXPECT_TRUE(link(a.get(), b.get()));
}

TEST(GhostPad, NamedAfterDirection) {
    const ElementPtr bin = make_bin("b");
    const ElementPtr queue = make({"queue", std::nullopt, {}});
    ASSERT_FALSE(add_element(bin.get(), queue.get()));
    ASSERT_FALSE(expose_pad(bin.get(), required_pad(queue.get(), "src").get()));
    ASSERT_FALSE(expose_pad(bin.get(), required_pad(queue.get(), "sink").get()));
    EXPECT_TRUE(static_pad(bin.get(), "src"));
    EXPECT_TRUE(static_pad(bin.get(), "sink"));
    EXPECT_EQ(gst_pad_get_direction(static_pad(bin.get(), "src").get()), GST_PAD_SRC);
    // A pad is the target of one ghost at most, and a bin has one pad per name.
    EXPECT_EQ(expose_pad(bin.get(), required_pad(queue.get(), "src").get())->message, "Failed to set target");
    const ElementPtr second = make({"queue", std::nullopt, {}});
    ASSERT_FALSE(add_element(bin.get(), second.get()));
    EXPECT_EQ(expose_pad(bin.get(), required_pad(second.get(), "src").get())->message, "Failed to add pad");
}

TEST(SetProperty, TypedFromStringAndFaults) {
    const ElementPtr filter = make({"capsfilter", std::nullopt, {}});
    set_property(filter.get(), "caps", make_caps("video/x-raw", {{"format", TextList{"I420", "NV12"}},
                                                                 {"framerate", Fraction{15, 1}}}));
    GstCaps* raw = nullptr;
    g_object_get(filter.get(), "caps", &raw, nullptr);
    const CapsPtr caps = CapsPtr::take(raw);
    const StringPtr text = StringPtr::take(gst_caps_to_string(caps.get()));
    EXPECT_STREQ(text.get(), "video/x-raw, format=(string){ I420, NV12 }, framerate=(fraction)15/1");

    const ElementPtr flip = make({"videoflip", std::nullopt, {}});
    set_property_from_string(flip.get(), "method", "clockwise");
    EXPECT_TRUE(has_property(flip.get(), "method"));
    EXPECT_FALSE(has_property(flip.get(), "no-such"));
    EXPECT_THROW(set_property(flip.get(), "no-such", 1u), InternalFault);
    EXPECT_THROW(set_property_from_string(flip.get(), "method", "sideways"), InternalFault);

    const ElementPtr queue = make({"queue", std::nullopt, {}});
    try {
        set_property(queue.get(), "min-threshold-time", 5u);
        ADD_FAILURE();
    } catch (const InternalFault& fault) {
        EXPECT_STREQ(fault.what(), "property 'min-threshold-time' of type 'GstQueue' can't be set from the given "
                                   "type (expected: 'guint64', got: 'guint')");
    }
    const ElementPtr rate = make({"videorate", std::nullopt, {}});
    try {
        set_property(rate.get(), "max-rate", int32_t{0});  // the range starts at 1
        ADD_FAILURE();
    } catch (const InternalFault& fault) {
        EXPECT_STREQ(fault.what(), "property 'max-rate' of type 'GstVideoRate' can't be set from given value, "
                                   "it is invalid or out of range");
    }
}

}  // namespace
}  // namespace ov::gst
