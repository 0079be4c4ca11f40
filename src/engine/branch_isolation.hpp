#pragma once

#include <gst/gst.h>

namespace ov::engine {

// In a pipeline with several sinks a failing branch must not take the others
// down: the next buffer the tee pushes into it would return the error, and the
// tee would hand it back to the source, which stops. So the moment an element
// inside "branch_<n>" posts an error, the tee stops feeding that branch (its
// buffers are dropped) until the supervision removes it. The error message
// itself goes on to the supervision as usual.
void isolate_failing_branches(GstElement* pipeline);

}  // namespace ov::engine
