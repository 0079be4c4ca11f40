#include "media/image_sequence.hpp"
