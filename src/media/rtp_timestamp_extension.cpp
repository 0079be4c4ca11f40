#include "media/rtp_timestamp_extension.hpp"
