#include <gtest/gtest.h>

#include "core/resolution.hpp"

namespace ov {
namespace {

struct Accepted {
    const char* input;
    uint32_t width, height;
};

class ResolutionAccepted : public testing::TestWithParam<Accepted> {};

TEST_P(ResolutionAccepted, Parses) {
    const auto result = parse_resolution(GetParam().input);
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(result.value(), (Resolution{GetParam().width, GetParam().height}));
}

INSTANTIATE_TEST_SUITE_P(Texts, ResolutionAccepted,
                         testing::Values(Accepted{"1280x720", 1280, 720}, Accepted{"1280X720", 1280, 720},
                                         Accepted{"+1280x+720", 1280, 720}, Accepted{"01280x0720", 1280, 720},
                                         Accepted{"  1280x720\n", 1280, 720},
                                         Accepted{"\u3000\u00a01280x720\u2029", 1280, 720},
                                         Accepted{"4294967295x1", 4294967295u, 1}));

struct Rejected {
    const char* input;
    const char* message;
};

class ResolutionRejected : public testing::TestWithParam<Rejected> {};

TEST_P(ResolutionRejected, QuotesTheInput) {
    const auto result = parse_resolution(GetParam().input);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ResolutionRejected,
    testing::Values(
        Rejected{"1280 x 720", "Invalid width in resolution '1280 x 720'"},
        Rejected{"1280x", "Invalid height in resolution '1280x'"},
        Rejected{"x720", "Invalid width in resolution 'x720'"},
        Rejected{"-1x720", "Invalid width in resolution '-1x720'"},
        Rejected{"1280*720", "Invalid resolution '1280*720'. Expected format WIDTHxHEIGHT (e.g., 1280x720)."},
        Rejected{"", "Invalid resolution ''. Expected format WIDTHxHEIGHT (e.g., 1280x720)."},
        Rejected{"0x720", "Invalid resolution '0x720'. Width and height must be positive."},
        Rejected{"1280x0", "Invalid resolution '1280x0'. Width and height must be positive."},
        Rejected{"4294967296x720", "Invalid width in resolution '4294967296x720'"},
        Rejected{"1280x720x2", "Invalid height in resolution '1280x720x2'"},
        Rejected{"640X480x2", "Invalid width in resolution '640X480x2'"}));

}  // namespace
}  // namespace ov
