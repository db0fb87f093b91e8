// The Dask driver's leakage check of a (feature, target) pair, the partial
// and the merges of kernels/pearson_screen.hpp.
// pair_sums(a, b, means): one partition's sums over the rows where neither
// float64 vector is NaN: (count, sum of a, sum of b) when means is None,
// else the centred (sum of da * db, da * da, db * db).
// pair_means(parts): the first pass's (count, sum a, sum b) of every
// partition merged into (mean of a, mean of b), None under two pairs.
// pair_hit(parts, threshold): whether the second pass's sums of every
// partition give a coefficient whose absolute value reaches threshold.
#include <vector>

#include "../tamsel_eda/kernels/pearson_screen.hpp"
#include "../tamsel_eda/pyapi/sequences.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* pair_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("pair_sums(a, b, means)");
        pyapi::Float64View a(args[0]), b(args[1]);
        if (a.size() != b.size()) throw py::value_error("a and b must have the same length");
        const bool centred = args[2] != Py_None;
        double means[2] = {0.0, 0.0};
        if (centred) {
            py::tuple m = py::reinterpret_borrow<py::tuple>(args[2]);
            if (m.size() != 2) throw py::value_error("means is (mean of a, mean of b)");
            means[0] = m[0].cast<double>();
            means[1] = m[1].cast<double>();
        }
        kernels::PairSums out;
        pyapi::without_gil([&](const std::function<bool()>&) {
            out = kernels::pair_sums(a.data(), b.data(), static_cast<std::size_t>(a.size()), centred ? means : nullptr);
            return 0;
        });
        if (centred) return py::object(py::make_tuple(out.s1, out.s2, out.s3));
        return py::object(py::make_tuple(out.count, out.s1, out.s2));
    });
}

// The partitions' tuples as pair_sums answered them: (count, sum, sum) of
// the first pass or (sum, sum, sum) of the second.
std::vector<kernels::PairSums> read_parts(PyObject* obj, bool counted) {
    return pyapi::read_each(obj, [counted](py::handle item) {
        py::tuple t = py::reinterpret_borrow<py::object>(item).cast<py::tuple>();
        if (t.size() != 3) throw py::value_error("each partition's sums are a tuple of three");
        kernels::PairSums p;
        if (counted) {
            p.count = t[0].cast<std::int64_t>();
            if (p.count < 0) throw py::value_error("a partition's count of pairs is negative");
            p.s1 = t[1].cast<double>();
            p.s2 = t[2].cast<double>();
        } else {
            p.s1 = t[0].cast<double>();
            p.s2 = t[1].cast<double>();
            p.s3 = t[2].cast<double>();
        }
        return p;
    });
}

PyObject* pair_means(PyObject*, PyObject* arg) {
    return entry([&] {
        const std::vector<kernels::PairSums> parts = read_parts(arg, true);
        double mean_a = 0.0, mean_b = 0.0;
        if (!kernels::pair_means(parts.data(), parts.size(), mean_a, mean_b)) return py::object(py::none());
        return py::object(py::make_tuple(mean_a, mean_b));
    });
}

PyObject* pair_hit(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("pair_hit(parts, threshold)");
        const std::vector<kernels::PairSums> parts = read_parts(args[0], false);
        const double threshold = py::reinterpret_borrow<py::object>(args[1]).cast<double>();
        return py::object(py::bool_(kernels::pair_hit(parts.data(), parts.size(), threshold)));
    });
}

}  // namespace

const PyMethodDef leakage_entries[] = {
    {"pair_sums", fastcall(pair_sums), METH_FASTCALL,
     "pair_sums(a, b, means): a partition's sums for the Pearson leakage check."},
    {"pair_means", pair_means, METH_O, "pair_means(parts): the pairs' means over every partition, or None."},
    {"pair_hit", fastcall(pair_hit), METH_FASTCALL,
     "pair_hit(parts, threshold): whether the merged coefficient reaches threshold in absolute value."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
