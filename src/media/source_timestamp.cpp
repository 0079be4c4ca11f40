#include "media/source_timestamp.hpp"
