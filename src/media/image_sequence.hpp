#pragma once

// The directory of an image sequence presented to multifilesrc as numbered
// hard links in a fresh temporary directory.

#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/result.hpp"

namespace ov::media {

struct ImageSequence {
    std::string temp_dir;            // "<TMPDIR or /tmp>/ov_imgdir_<random>"
    std::string extension;           // "png", "jpg" or "jpeg" (of the first image)
    std::vector<std::string> images; // sorted source paths
};

Result<ImageSequence, BuildError> prepare_image_sequence(const std::string& path);

}  // namespace ov::media
