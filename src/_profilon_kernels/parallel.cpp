// Entries of the thread helpers: the thread count a kernel would use now, and
// a cancellable busy loop over tasks, so that tests can see the environment
// cap, thread-count independence and Ctrl-C reach the fork-join loop itself.
#include <chrono>
#include <vector>

#include "../tamsel_eda/kernels/kernels.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* thread_count(PyObject*, PyObject*) {
    return entry([] { return py::int_(kernels::thread_count()); });
}

// spin(tasks, ms): every task spins for `ms` milliseconds, checking for a
// stop request in between; returns the tuple of task indices that ran to the
// end (None where a task was cut short or never started).
PyObject* spin(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("spin(tasks, ms) takes two arguments");
        const std::size_t tasks = PyLong_AsSize_t(args[0]);
        if (PyErr_Occurred()) throw py::error_already_set();
        const long long ms = PyLong_AsLongLong(args[1]);
        if (PyErr_Occurred()) throw py::error_already_set();
        std::vector<int> finished(tasks, 0);
        pyapi::without_gil([&](const std::function<bool()>& poll) {
            kernels::parallel_for(
                tasks,
                [&](std::size_t i, const kernels::Stop& stop) {
                    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
                    while (std::chrono::steady_clock::now() < until) {
                        if (stop.requested()) return;
                    }
                    finished[i] = 1;
                },
                poll);
        });
        py::tuple out(tasks);
        for (std::size_t i = 0; i < tasks; ++i) {
            out[i] = finished[i] ? py::object(py::int_(i)) : py::object(py::none());
        }
        return py::object(out);
    });
}

}  // namespace

const PyMethodDef parallel_entries[] = {
    {"thread_count", thread_count, METH_NOARGS, "Threads a kernel would use now."},
    {"spin", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spin)), METH_FASTCALL,
     "spin(tasks, ms): cancellable busy tasks over the kernel thread loop."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
