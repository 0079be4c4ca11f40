#include "core/log.hpp"

#include <atomic>

namespace ov::log {
namespace {

std::atomic<Sink*> g_sink{nullptr};
std::atomic<int> g_max_level{static_cast<int>(Level::Debug)};

}  // namespace

void install_sink(Sink* sink) { g_sink.store(sink, std::memory_order_release); }

void set_max_level(Level level) {
    g_max_level.store(static_cast<int>(level), std::memory_order_relaxed);
}

Level max_level() { return static_cast<Level>(g_max_level.load(std::memory_order_relaxed)); }

void dispatch(Level level, std::string_view target, const char* file, unsigned line,
              std::string message) noexcept {
    if (!enabled(level)) return;
    Sink* sink = g_sink.load(std::memory_order_acquire);
    if (sink == nullptr) return;
    sink->write(Record{level, target, std::move(message), file, line});
}

}  // namespace ov::log
