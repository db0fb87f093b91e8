#include "background.hpp"

#include <chrono>
#include <stdexcept>
#include <system_error>

#include "../kernels/kernels.hpp"
#include "pyapi.hpp"

namespace tamsel::pyapi {

namespace {
constexpr auto wait_poll_interval = std::chrono::milliseconds(20);
}

Background::Background(Work work) : work_(std::move(work)) {
    if (kernels::thread_count() <= 1) return;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had: the work runs at finish() instead.
    }
}

Background::~Background() {
    if (!thread_.joinable()) return;
    stop_.store(true, std::memory_order_relaxed);
    thread_.join();
}

void Background::run() noexcept {
    bool result = false;
    std::exception_ptr error;
    try {
        const kernels::AssistScope scope(&assist_);
        result = work_([this] { return stop_.load(std::memory_order_relaxed); });
    } catch (...) {
        error = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(m_);
        result_ = result;
        error_ = error;
        done_ = true;
        done_cv_.notify_all();
    }
    assist_.wake();
}

bool Background::finish() {
    if (finished_) throw std::logic_error("background work finished twice");
    finished_ = true;
    if (!thread_.joinable()) return without_gil([&](const std::function<bool()>& poll) { return work_(poll); });
    // An interrupt tells the work to stop and still waits for it: without_gil
    // raises KeyboardInterrupt once the wait returns, and the thread is
    // joined by then or by the destructor.
    without_gil([&](const std::function<bool()>& poll) {
        const bool helped = assist_.help(
            [&] {
                std::lock_guard<std::mutex> lock(m_);
                return done_;
            },
            poll);
        if (!helped) stop_.store(true, std::memory_order_relaxed);
        std::unique_lock<std::mutex> lock(m_);
        while (!done_cv_.wait_for(lock, wait_poll_interval, [&] { return done_; })) {
            lock.unlock();
            if (poll()) stop_.store(true, std::memory_order_relaxed);
            lock.lock();
        }
    });
    thread_.join();
    if (error_) std::rethrow_exception(error_);
    return result_;
}

}  // namespace tamsel::pyapi
