#pragma once

// A one-shot channel: one value from a GStreamer callback thread to a thread
// that waits for it with a deadline. A sender that is dropped without sending
// closes the channel; a value sent after the receiver has gone is dropped with
// the shared state.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace ov::whip {

template <class T>
struct OneShotState {
    std::mutex mutex;  // protects value and closed
    std::condition_variable changed;
    std::optional<T> value;
    bool closed = false;
};

template <class T>
class OneShotSender {
public:
    explicit OneShotSender(std::shared_ptr<OneShotState<T>> state) : state_(std::move(state)) {}
    OneShotSender(OneShotSender&&) noexcept = default;
    OneShotSender& operator=(OneShotSender&& other) noexcept {
        if (this != &other) {
            finish(std::nullopt);
            state_ = std::move(other.state_);
        }
        return *this;
    }
    OneShotSender(const OneShotSender&) = delete;
    OneShotSender& operator=(const OneShotSender&) = delete;
    ~OneShotSender() { finish(std::nullopt); }

    void send(T value) && { finish(std::move(value)); }

private:
    void finish(std::optional<T> value) {
        if (!state_) return;
        {
            const std::lock_guard lock(state_->mutex);
            state_->value = std::move(value);
            state_->closed = true;
        }
        state_->changed.notify_all();
        state_.reset();
    }

    std::shared_ptr<OneShotState<T>> state_;
};

enum class Received { Value, Closed, TimedOut };

template <class T>
class OneShotReceiver {
public:
    explicit OneShotReceiver(std::shared_ptr<OneShotState<T>> state) : state_(std::move(state)) {}

    // Waits until a value arrives, the sender is dropped, or `deadline` passes;
    // the value, when there is one, lands in `out`.
    Received wait_until(std::chrono::steady_clock::time_point deadline, std::optional<T>& out) {
        std::unique_lock lock(state_->mutex);
        if (!state_->changed.wait_until(lock, deadline, [this] { return state_->closed; })) return Received::TimedOut;
        if (!state_->value) return Received::Closed;
        out = std::move(state_->value);
        return Received::Value;
    }

    Received wait(std::optional<T>& out) {
        std::unique_lock lock(state_->mutex);
        state_->changed.wait(lock, [this] { return state_->closed; });
        if (!state_->value) return Received::Closed;
        out = std::move(state_->value);
        return Received::Value;
    }

private:
    std::shared_ptr<OneShotState<T>> state_;
};

template <class T>
std::pair<OneShotSender<T>, OneShotReceiver<T>> make_oneshot() {
    auto state = std::make_shared<OneShotState<T>>();
    return {OneShotSender<T>(state), OneShotReceiver<T>(state)};
}

// Where a signal handler keeps its sender: the first notification that
// qualifies takes it out, so a repeated notification sends nothing.
template <class T>
class SenderSlot {
public:
    explicit SenderSlot(OneShotSender<T> sender) : sender_(std::move(sender)) {}

    std::optional<OneShotSender<T>> take() {
        const std::lock_guard lock(mutex_);
        return std::exchange(sender_, std::nullopt);
    }

private:
    std::mutex mutex_;  // protects sender_
    std::optional<OneShotSender<T>> sender_;
};

}  // namespace ov::whip
