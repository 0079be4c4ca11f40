#include "media/codec_elements.hpp"
