// Entry point of the C++ tests that need GStreamer. Element-level tests use
// <gst/check/gstharness.h> (not gstcheck.h, whose macros clash with C++).

#include <gst/gst.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    gst_init(nullptr, nullptr);
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Stops GStreamer's thread pools, so the leak checker of the sanitizer
    // build finds a quiet process at exit.
    gst_deinit();
    return result;
}
