#pragma once

#include <gst/gst.h>

namespace ov::engine {

// Watches the "src" pad of a source bin; when no buffer passed for more than
// ten seconds while the pipeline plays, posts "Source timed out — no data
// received" as an error on the pipeline. Runs on a detached thread that holds
// the pipeline weakly. A bin without a "src" pad is not watched.
void start_source_watchdog(GstElement* source_bin, GstElement* pipeline);

}  // namespace ov::engine
