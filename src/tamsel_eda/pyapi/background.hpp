// Native work that runs beside the interpreter: started on a thread of its
// own while the caller goes on with Python work, and joined where its result
// is needed. The work never touches a Python object, so it needs no GIL.
//
// With one thread allowed (PROFILON_NUM_THREADS=1, or a machine with one
// core) nothing runs beside: the work waits and runs at finish(), on the
// calling thread with the GIL released, exactly as without_gil runs it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "../kernels/kernels.hpp"

namespace tamsel::pyapi {

class Background {
public:
    // The work gets a poll that answers whether to stop; it returns false
    // when it stopped early.
    using Work = std::function<bool(const std::function<bool()>& poll)>;

    explicit Background(Work work);
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    // Unfinished work (the caller left by an exception) is told to stop and
    // joined: it never outlives the objects it reads.
    ~Background();

    // Waits for the work with the GIL released, running tasks of its loops
    // meanwhile, and polling signals: Ctrl-C stops the work and raises
    // KeyboardInterrupt here. Rethrows what the work
    // threw; returns what it returned. Call once.
    bool finish();

private:
    void run() noexcept;

    Work work_;
    std::thread thread_;
    std::mutex m_;
    std::condition_variable done_cv_;
    bool done_ = false;
    bool result_ = false;
    bool finished_ = false;
    std::atomic<bool> stop_{false};
    std::exception_ptr error_;
    // The work's loops offer their tasks here; finish() runs them too.
    kernels::Assist assist_;
};

}  // namespace tamsel::pyapi
