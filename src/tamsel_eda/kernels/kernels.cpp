#include "kernels.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tamsel::kernels {

unsigned thread_count() {
    unsigned n = std::thread::hardware_concurrency();
    if (n == 0) n = 1;
    if (const char* cap = std::getenv("PROFILON_NUM_THREADS")) {
        char* end = nullptr;
        const long v = std::strtol(cap, &end, 10);
        if (end != cap && v >= 1 && static_cast<unsigned long>(v) < n) n = static_cast<unsigned>(v);
    }
    return n;
}

void parallel_for(std::size_t parts, const std::function<void(std::size_t, const std::atomic<bool>&)>& task,
                  const std::function<bool()>& poll) {
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> next{0};
    std::mutex mu;
    std::condition_variable cv;
    std::size_t running = 0;
    std::exception_ptr failure;
    auto worker = [&] {
        try {
            for (std::size_t p; !stop.load() && (p = next.fetch_add(1)) < parts;) task(p, stop);
        } catch (...) {
            std::lock_guard lock(mu);
            if (!failure) failure = std::current_exception();
            stop = true;
        }
        std::lock_guard lock(mu);
        --running;
        cv.notify_all();
    };
    const std::size_t n = std::min<std::size_t>(thread_count(), parts);
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mu);
        running = n;
    }
    for (std::size_t i = 0; i < n; ++i) threads.emplace_back(worker);
    bool stopped = false;
    {
        std::unique_lock lock(mu);
        while (running > 0) {
            if (cv.wait_for(lock, std::chrono::milliseconds(20), [&] { return running == 0; })) break;
            lock.unlock();
            if (!stopped && poll && poll()) {
                stopped = true;
                stop = true;
            }
            lock.lock();
        }
    }
    for (auto& t : threads) t.join();
    if (failure) std::rethrow_exception(failure);
    if (stopped) throw Stop{};
}

}  // namespace tamsel::kernels
