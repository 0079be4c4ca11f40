#include "media/sink_bins.hpp"
