#include "media/timestamp_probes.hpp"
