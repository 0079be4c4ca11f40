#pragma once

// Sink bins ("sink_bin_<i>"), the branches that hang them on a tee
// ("branch_<i>"), and removal of a failed branch from a running pipeline.

#include <cstddef>
#include <string>

#include "core/enums.hpp"
#include "core/pipeline_config.hpp"
#include "core/sink.hpp"
#include "gst/element.hpp"

namespace ov::media {

// What a sink kind wants at its input; Fake takes anything (reported as Raw).
OutputKind wanted_input(const SinkKind& sink);

gst::ElementResult build_sink_bin(const SinkKind& sink, Codec codec, bool live, size_t index);
gst::ElementResult build_branch(const SinkKind& sink, size_t index, bool input_encoded, Codec codec, bool live);
gst::Status link_tee_branch(GstElement* tee, GstElement* branch);
// Call with the pipeline's lock held; a branch that is gone is ignored.
void remove_branch(GstElement* pipeline, size_t index);
// Logs "[<label> sink] Streaming" once, at the first buffer on the "sink" pad.
void add_first_buffer_sink_log(GstElement* element, std::string label);

}  // namespace ov::media
