#pragma once

// The engine's logging facade. Records go to one process-wide sink (the Python
// bridge once the module is imported); any thread may log, GStreamer's streaming
// threads included.

#include <fmt/format.h>

#include <string>
#include <string_view>

namespace ov::log {

enum class Level : int { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

inline constexpr std::string_view kPipeline = "orvane_video::pipeline";
inline constexpr std::string_view kStream = "orvane_video::stream";
inline constexpr std::string_view kWhip = "orvane_video::whip";

struct Record {
    Level level;
    std::string_view target;
    std::string message;
    const char* file;  // source file of the logging call, may be null
    unsigned line;     // 0 when the call site has none
};

class Sink {
public:
    virtual ~Sink() = default;
    // Called on the logging thread; must not throw.
    virtual void write(const Record& record) noexcept = 0;
};

// Installs the process-wide sink. The sink must outlive every later log call;
// passing nullptr drops all further records.
void install_sink(Sink* sink);
void set_max_level(Level level);
Level max_level();

inline bool enabled(Level level) { return static_cast<int>(level) <= static_cast<int>(max_level()); }

void dispatch(Level level, std::string_view target, const char* file, unsigned line,
              std::string message) noexcept;

}  // namespace ov::log

#define OV_LOG(level, target, ...)                                                     \
    do {                                                                               \
        if (::ov::log::enabled(level))                                                 \
            ::ov::log::dispatch(level, target, __FILE__, __LINE__,                     \
                                ::fmt::format(__VA_ARGS__));                           \
    } while (0)

#define OV_ERROR(target, ...) OV_LOG(::ov::log::Level::Error, target, __VA_ARGS__)
#define OV_WARN(target, ...) OV_LOG(::ov::log::Level::Warn, target, __VA_ARGS__)
#define OV_INFO(target, ...) OV_LOG(::ov::log::Level::Info, target, __VA_ARGS__)
#define OV_DEBUG(target, ...) OV_LOG(::ov::log::Level::Debug, target, __VA_ARGS__)
