#include "media/image_sequence.hpp"

#include <dirent.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string_view>

namespace ov::media {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// The part after the last dot, lower-cased; a name whose only dot is its first
// character (".png") has none.
std::optional<std::string> image_extension(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    std::string extension(name.substr(dot + 1));
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (extension == "png" || extension == "jpg" || extension == "jpeg") return extension;
    return std::nullopt;
}

std::string join(const std::string& directory, std::string_view name) {
    if (directory.empty()) return std::string(name);
    if (directory.back() == '/') return directory + std::string(name);
    return directory + "/" + std::string(name);
}

uint64_t random_u64() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    return engine();
}

std::string temp_root() {
    const char* tmpdir = std::getenv("TMPDIR");
    return tmpdir != nullptr ? tmpdir : "/tmp";
}

// Removes the directory of a sequence that could not be completed, so a failed
// build leaves nothing in TMPDIR.
struct PartialDir {
    std::string path;
    ~PartialDir() {
        if (!path.empty()) remove_directory_tree(path);
    }
};

}  // namespace

std::string os_error_text(int error_number) {
    char buffer[256];
    // GNU strerror_r: returns the text, which may or may not live in `buffer`.
    const char* text = strerror_r(error_number, buffer, sizeof buffer);
    return fmt::format("{} (os error {})", text, error_number);
}

void remove_directory_tree(const std::string& path) noexcept {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string image_sequence_pattern(const ImageSequence& sequence) {
    return join(sequence.temp_dir, fmt::format("%010d.{}", sequence.extension));
}

Result<ImageSequence, BuildError> prepare_image_sequence(const std::string& path) {
    DirPtr dir(opendir(path.c_str()));
    if (!dir) return OV_BUILD_ERROR(fmt::format("Cannot read image directory: {}", os_error_text(errno)));

    // All images share the directory prefix, so byte order of the names is the
    // component-wise path order.
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (image_extension(name)) names.emplace_back(name);
    }
    dir.reset();
    if (names.empty()) return OV_BUILD_ERROR(fmt::format("No PNG or JPEG images found in directory: {}", path));
    std::sort(names.begin(), names.end());

    ImageSequence sequence;
    sequence.extension = *image_extension(names.front());
    for (const auto& name : names) sequence.images.push_back(join(path, name));

    sequence.temp_dir = join(temp_root(), fmt::format("ov_imgdir_{}", random_u64()));
    // 0777 before the umask: the links inside must be readable by whoever reads the sequence.
    if (mkdir(sequence.temp_dir.c_str(), 0777) != 0) {
        return OV_BUILD_ERROR(fmt::format("Failed to create temp dir: {}", os_error_text(errno)));
    }
    PartialDir partial{sequence.temp_dir};

    std::string cwd;
    for (size_t i = 0; i < sequence.images.size(); ++i) {
        std::string target = sequence.images[i];
        if (target.front() != '/') {
            if (cwd.empty()) {
                const std::unique_ptr<char, decltype(&std::free)> current(getcwd(nullptr, 0), &std::free);
                if (!current) return OV_BUILD_ERROR(fmt::format("current_dir: {}", os_error_text(errno)));
                cwd = current.get();
            }
            target = join(cwd, target);
        }
        const std::string link_name =
            join(sequence.temp_dir, fmt::format("{:010}.{}", i, sequence.extension));
        if (::link(target.c_str(), link_name.c_str()) != 0) {
            return OV_BUILD_ERROR(fmt::format("hard_link failed: {}", os_error_text(errno)));
        }
    }
    partial.path.clear();
    return sequence;
}

}  // namespace ov::media
