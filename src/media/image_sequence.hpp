#pragma once

// The directory of an image sequence presented to multifilesrc as numbered
// hard links in a fresh temporary directory.

#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/result.hpp"

namespace ov::media {

struct ImageSequence {
    std::string temp_dir;             // "<TMPDIR or /tmp>/ov_imgdir_<random>"
    std::string extension;            // "png", "jpg" or "jpeg" (of the first image)
    std::vector<std::string> images;  // sorted source paths
};

// Collects the PNG and JPEG files of `path` in byte order of their names and
// links them into a new temporary directory as 0000000000.<ext>,
// 0000000001.<ext>, ... On failure nothing is left behind.
Result<ImageSequence, BuildError> prepare_image_sequence(const std::string& path);

// The multifilesrc "location" pattern of a prepared sequence.
std::string image_sequence_pattern(const ImageSequence& sequence);

// Deletes a directory and everything in it; errors are ignored.
void remove_directory_tree(const std::string& path) noexcept;

// "{description} (os error {number})" for an errno value.
std::string os_error_text(int error_number);

}  // namespace ov::media
