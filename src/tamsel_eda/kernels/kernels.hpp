// Native kernels: plain C++ over raw buffers. Nothing here knows the
// interpreter, so every kernel can run with the GIL released and on several
// threads; adapters in the step folders decide when a kernel applies and turn
// its results into Python values.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace tamsel::kernels {

// How many threads a kernel may use: the machine's hardware threads, capped
// by the environment variable PROFILON_NUM_THREADS when it holds a positive
// integer (1 runs everything on the calling thread). Read at each call, so a
// caller can change it between analyses.
std::size_t thread_count();

// Cooperative cancellation. Long tasks call `requested()` between blocks of
// work and return early when it answers true; the kernel's result is then
// discarded by its caller.
class Stop {
public:
    using Poll = std::function<bool()>;

    // `poll` answers true when the work must end (a pending KeyboardInterrupt,
    // say). On the inline path (one thread) it is consulted from requested()
    // itself, at most every few milliseconds.
    explicit Stop(Poll poll = {}, bool inline_polling = false);

    bool requested() const noexcept;
    void request() noexcept { flag_.store(true, std::memory_order_relaxed); }

    // Consults `poll` now (calling thread only); true once stop was requested.
    bool poll_now() const;

private:
    Poll poll_;
    bool inline_polling_;
    mutable std::atomic<bool> flag_{false};
    mutable std::atomic<long long> last_poll_ns_{0};
};

// A hand for the parallel loops of work that runs beside the interpreter.
// While such work runs (its thread holds an AssistScope), each of its loops
// leaves one core to the interpreter and offers its remaining tasks here; the
// thread that then waits for the work (help) runs tasks beside the loop's
// workers, so the core the interpreter no longer needs is not left idle.
class Assist {
public:
    // A loop's offer: runs tasks until none is left or `interrupted()`
    // answers true (the loop then stops).
    using Offer = std::function<void(const std::function<bool()>& interrupted)>;

    // Helps every offer until `done()` answers true (asked without any lock
    // held, after each offer and each wake), or until `interrupted()` (asked
    // about every 20 ms while helping or waiting) answers true. Returns
    // false when interrupted.
    bool help(const std::function<bool()>& done, const std::function<bool()>& interrupted);
    // Wakes a helper that waits, so that it asks done() again.
    void wake();

    // The loop's side: offer(&f) before its workers wait, withdraw() after
    // they finished; withdraw waits for a helper still inside f.
    void offer(const Offer* offer);
    void withdraw();

private:
    std::mutex m_;
    std::condition_variable cv_;
    const Offer* offered_ = nullptr;
    std::uint64_t generation_ = 0;
    std::size_t inside_ = 0;
    bool woken_ = false;
};

// Makes `assist` the one the calling thread's loops offer their tasks to,
// for the scope's lifetime.
class AssistScope {
public:
    explicit AssistScope(Assist* assist);
    ~AssistScope();
    AssistScope(const AssistScope&) = delete;
    AssistScope& operator=(const AssistScope&) = delete;

private:
    Assist* previous_;
};

// Runs task(i, stop) for every i in [0, n) on up to thread_count() threads
// (never more than n). The calling thread does not run tasks when workers
// exist: it waits and calls `poll` about every 20 ms, so a signal is noticed
// while the workers are busy. Tasks are handed out in index order, each task
// writes only its own outputs, so results never depend on the thread count.
// Returns false when stopped. The first exception a task throws is rethrown
// on the calling thread after every worker has finished. Under an
// AssistScope one worker fewer is started and the tasks are offered to the
// scope's Assist as well.
bool parallel_for(std::size_t n, const std::function<void(std::size_t, const Stop&)>& task,
                  const Stop::Poll& poll = {});

}  // namespace tamsel::kernels
