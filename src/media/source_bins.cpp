#include "media/source_bins.hpp"
