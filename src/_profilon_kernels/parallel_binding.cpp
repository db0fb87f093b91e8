// Entries of the thread helpers: the thread count a kernel would use now, and
// a cancellable busy loop over tasks, so that tests can see the environment
// cap, thread-count independence and Ctrl-C reach the fork-join loop itself,
// run directly or beside the interpreter (where the waiting caller helps).
#include <algorithm>
#include <chrono>
#include <ranges>
#include <thread>
#include <vector>

#include "../tamsel_eda/kernels/kernels.hpp"
#include "../tamsel_eda/pyapi/background.hpp"
#include "../tamsel_eda/pyapi/sequences.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* thread_count(PyObject*, PyObject*) {
    return entry([] { return py::int_(kernels::thread_count()); });
}

// spin(tasks, ms): every task spins for `ms` milliseconds, checking for a
// stop request in between; returns the tuple of task indices that ran to the
// end (None where a task was cut short or never started).
struct SpinArgs {
    std::size_t tasks = 0;
    long long ms = 0;
    SpinArgs(const char* name, PyObject* const* args, Py_ssize_t nargs) {
        if (nargs != 2) throw py::type_error(std::string(name) + "(tasks, ms) takes two arguments");
        tasks = PyLong_AsSize_t(args[0]);
        if (PyErr_Occurred()) throw py::error_already_set();
        ms = PyLong_AsLongLong(args[1]);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
};

// The spin loop; `finished[i]` is 1 for a task that ran to its end, 2 when
// it ran on the thread `caller`.
bool spin_loop(const SpinArgs& a, std::vector<int>& finished, std::thread::id caller,
               const std::function<bool()>& poll) {
    return kernels::parallel_for(
        a.tasks,
        [&](std::size_t i, const kernels::Stop& stop) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(a.ms);
            while (std::chrono::steady_clock::now() < until) {
                if (stop.requested()) return;
            }
            finished[i] = std::this_thread::get_id() == caller ? 2 : 1;
        },
        poll);
}

py::tuple finished_tasks(const std::vector<int>& finished) {
    return py::tuple(pyapi::list_each(std::views::iota(std::size_t{0}, finished.size()), [&](std::size_t i) {
        return finished[i] ? py::object(py::int_(i)) : py::object(py::none());
    }));
}

PyObject* spin(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        const SpinArgs a("spin", args, nargs);
        std::vector<int> finished(a.tasks, 0);
        pyapi::without_gil(
            [&](const std::function<bool()>& poll) { return spin_loop(a, finished, std::thread::id(), poll); });
        return py::object(finished_tasks(finished));
    });
}

// spin_beside(tasks, ms): the same loop started beside the interpreter and
// waited for at once; returns (finished tasks, tasks the caller ran).
PyObject* spin_beside(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        const SpinArgs a("spin_beside", args, nargs);
        std::vector<int> finished(a.tasks, 0);
        const std::thread::id caller = std::this_thread::get_id();
        pyapi::Background work([&](const std::function<bool()>& poll) { return spin_loop(a, finished, caller, poll); });
        work.finish();
        const auto by_caller = static_cast<std::size_t>(std::count(finished.begin(), finished.end(), 2));
        return py::object(py::make_tuple(finished_tasks(finished), by_caller));
    });
}

}  // namespace

const PyMethodDef parallel_test_entries[] = {
    {"thread_count", thread_count, METH_NOARGS, "Threads a kernel would use now."},
    {"spin", fastcall(spin), METH_FASTCALL, "spin(tasks, ms): cancellable busy tasks over the kernel thread loop."},
    {"spin_beside", fastcall(spin_beside), METH_FASTCALL,
     "spin_beside(tasks, ms): the same loop run beside the interpreter; (finished, tasks the caller ran)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
