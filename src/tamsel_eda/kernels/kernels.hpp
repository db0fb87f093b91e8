// Native kernels: plain C++ over raw buffers. Nothing here knows the
// interpreter, so every kernel can run with the GIL released and on several
// threads; adapters in the step folders decide when a kernel applies and turn
// its results into Python values.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

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

// Runs task(i, stop) for every i in [0, n) on up to thread_count() threads
// (never more than n). The calling thread does not run tasks when workers
// exist: it waits and calls `poll` about every 20 ms, so a signal is noticed
// while the workers are busy. Tasks are handed out in index order, each task
// writes only its own outputs, so results never depend on the thread count.
// Returns false when stopped. The first exception a task throws is rethrown
// on the calling thread after every worker has finished.
bool parallel_for(std::size_t n, const std::function<void(std::size_t, const Stop&)>& task,
                  const Stop::Poll& poll = {});

}  // namespace tamsel::kernels
