// Thread count, cancellation and the fork-join loop that every parallel
// kernel uses. Threads are started per call and joined before it returns:
// no pool outlives a kernel, so nothing lives in statics and an interpreter
// shutdown never meets a running thread.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "kernels.hpp"

namespace tamsel::kernels {
namespace {

long long now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr long long inline_poll_interval_ns = 5'000'000;
constexpr auto wait_poll_interval = std::chrono::milliseconds(20);
constexpr long long help_poll_interval_ns = 20'000'000;

thread_local Assist* current_assist = nullptr;

// Withdraws an offer on every way out of a loop.
struct Offered {
    Assist* assist;
    ~Offered() {
        if (assist) assist->withdraw();
    }
};

}  // namespace

AssistScope::AssistScope(Assist* assist) : previous_(current_assist) { current_assist = assist; }
AssistScope::~AssistScope() { current_assist = previous_; }

void Assist::offer(const Offer* offer) {
    std::lock_guard<std::mutex> lock(m_);
    offered_ = offer;
    ++generation_;
    cv_.notify_all();
}

void Assist::withdraw() {
    std::unique_lock<std::mutex> lock(m_);
    offered_ = nullptr;
    cv_.wait(lock, [&] { return inside_ == 0; });
}

void Assist::wake() {
    std::lock_guard<std::mutex> lock(m_);
    woken_ = true;
    cv_.notify_all();
}

bool Assist::help(const std::function<bool()>& done, const std::function<bool()>& interrupted) {
    long long last_poll = now_ns();
    bool stopped = false;
    // Asked between tasks: at most every 20 ms, since it may wait for the
    // interpreter.
    const std::function<bool()> paced = [&] {
        if (stopped) return true;
        const long long t = now_ns();
        if (t - last_poll < help_poll_interval_ns) return false;
        last_poll = t;
        stopped = interrupted();
        return stopped;
    };
    std::uint64_t helped = 0;
    for (;;) {
        if (done()) return true;
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait_for(lock, wait_poll_interval, [&] { return woken_ || (offered_ && generation_ != helped); });
        woken_ = false;
        if (offered_ && generation_ != helped) {
            const Offer* offer = offered_;
            helped = generation_;
            ++inside_;
            lock.unlock();
            try {
                (*offer)(paced);
            } catch (...) {
                // An offer keeps its tasks' errors for the loop to rethrow.
            }
            lock.lock();
            --inside_;
            cv_.notify_all();
        }
        lock.unlock();
        if (paced()) return false;
    }
}

std::size_t thread_count() {
    std::size_t n = std::thread::hardware_concurrency();
    if (n == 0) n = 1;
    if (const char* cap = std::getenv("PROFILON_NUM_THREADS")) {
        char* end = nullptr;
        const long long v = std::strtoll(cap, &end, 10);
        // Anything but a positive integer leaves the machine's count.
        if (end != cap && *end == '\0' && v > 0 && static_cast<unsigned long long>(v) < n) {
            n = static_cast<std::size_t>(v);
        }
    }
    return n;
}

Stop::Stop(Poll poll, bool inline_polling) : poll_(std::move(poll)), inline_polling_(inline_polling) {
    last_poll_ns_.store(now_ns(), std::memory_order_relaxed);
}

bool Stop::requested() const noexcept {
    if (flag_.load(std::memory_order_relaxed)) return true;
    if (!inline_polling_ || !poll_) return false;
    const long long t = now_ns();
    if (t - last_poll_ns_.load(std::memory_order_relaxed) < inline_poll_interval_ns) return false;
    last_poll_ns_.store(t, std::memory_order_relaxed);
    // A throwing poll is treated as a request to stop; the caller's error
    // state tells why.
    bool stop = true;
    try {
        stop = poll_();
    } catch (...) {
    }
    if (stop) flag_.store(true, std::memory_order_relaxed);
    return stop;
}

bool Stop::poll_now() const {
    if (flag_.load(std::memory_order_relaxed)) return true;
    if (poll_ && poll_()) flag_.store(true, std::memory_order_relaxed);
    return flag_.load(std::memory_order_relaxed);
}

bool parallel_for(std::size_t n, const std::function<void(std::size_t, const Stop&)>& task, const Stop::Poll& poll) {
    if (n == 0) return true;
    Assist* assist = current_assist;
    std::size_t workers = std::min(thread_count(), n);
    // Beside the interpreter: one core stays with it, and whoever waits for
    // this work lends a hand through the offer below.
    if (assist && workers > 1) --workers;
    if (workers <= 1 && !assist) {
        const Stop stop(poll, true);
        for (std::size_t i = 0; i < n; ++i) {
            if (stop.poll_now()) return false;
            task(i, stop);
        }
        return !stop.poll_now();
    }

    Stop stop(poll, false);
    std::atomic<std::size_t> next{0};
    std::mutex m;
    std::condition_variable done_cv;
    std::size_t running = workers;
    std::exception_ptr error;

    // Takes tasks until none is left, a stop, a task's error, or
    // `interrupted()` (a helper's own poll) answers true.
    const Assist::Offer take_tasks = [&](const std::function<bool()>& interrupted) {
        for (;;) {
            if (stop.requested()) return;
            if (interrupted && interrupted()) {
                stop.request();
                return;
            }
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= n) return;
            try {
                task(i, stop);
            } catch (...) {
                std::lock_guard<std::mutex> lock(m);
                if (!error) error = std::current_exception();
                stop.request();
                return;
            }
        }
    };
    auto work = [&] {
        take_tasks({});
        std::lock_guard<std::mutex> lock(m);
        if (--running == 0) done_cv.notify_all();
    };

    std::vector<std::thread> threads;
    threads.reserve(workers);
    try {
        for (std::size_t t = 0; t < workers; ++t) threads.emplace_back(work);
    } catch (...) {
        // Could not start a thread: stop what started, then report.
        stop.request();
        {
            std::lock_guard<std::mutex> lock(m);
            running -= workers - threads.size();
        }
        for (auto& th : threads) th.join();
        throw;
    }
    // Declared after the threads started: withdrawn (waiting for a helper
    // still inside) before `take_tasks` and what it reads go away.
    Offered offered{assist};
    if (assist) assist->offer(&take_tasks);
    {
        std::unique_lock<std::mutex> lock(m);
        while (running != 0) {
            if (done_cv.wait_for(lock, wait_poll_interval, [&] { return running == 0; })) break;
            lock.unlock();
            bool stop_now = true;
            try {
                stop_now = stop.poll_now();
            } catch (...) {
            }
            if (stop_now) stop.request();
            lock.lock();
        }
    }
    for (auto& th : threads) th.join();
    if (assist) {
        assist->withdraw();
        offered.assist = nullptr;
    }
    if (error) std::rethrow_exception(error);
    return !stop.requested();
}

}  // namespace tamsel::kernels
