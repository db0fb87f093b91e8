// Provisional thread helpers until the shared kernel floor lands: the
// correlation kernel is written against this small interface.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

namespace tamsel::kernels {

// Thrown out of parallel_for when the caller's poll asked to stop.
struct Stop {};

// os.cpu_count()-like hardware concurrency, capped by PROFILON_NUM_THREADS.
unsigned thread_count();

// Runs task(part, stop) for every part in [0, parts) on up to thread_count()
// threads. The calling thread waits and calls poll() every few
// milliseconds; when poll() answers true the tasks find `stop` set (they
// check it between chunks of work), and Stop is thrown once all returned.
void parallel_for(std::size_t parts, const std::function<void(std::size_t, const std::atomic<bool>&)>& task,
                  const std::function<bool()>& poll);

}  // namespace tamsel::kernels
