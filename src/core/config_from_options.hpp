#pragma once

#include <string>

#include "core/options.hpp"
#include "core/pipeline_config.hpp"
#include "core/result.hpp"

namespace ov {

// Flattens the options for the builders. A resolution text that does not parse
// gives the parser's message; reconnect durations that are negative, NaN or too
// large throw InternalFault (they cannot become durations).
Result<PipelineConfig, std::string> make_pipeline_config(const StreamOptions& options);

// Seconds as a duration, with the same faults.
std::chrono::nanoseconds seconds_to_duration(double seconds);

}  // namespace ov
