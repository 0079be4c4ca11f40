#include "media/convert_bin.hpp"
