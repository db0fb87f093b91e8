// The row-sample plan (sample_rows.hpp) on NumPy arrays.
//
// rows_plan(positions, offsets, lengths) -> (packed, inverse, counts): per
// partition its wanted rows as ("bits", np.packbits mask, length) or ("at",
// int32 positions (int64 past 2**31 rows), length), for each asked position
// its index among the distinct wanted rows (None: the asked positions are
// those, ascending), and per partition the number of its wanted rows (int64).
// ValueError for a position outside the frame or partitions that do not
// adjoin from row 0.
// rows_unpack(packed) -> int64 array: a partition's wanted rows, ascending.
// rows_join(counts, inverse) -> int64 array: each asked position's row in the
// join of pieces of counts[i] wanted rows and one more row each.
#include <string>
#include <vector>

#include "../tamsel_eda/kernels/sample_rows.hpp"
#include "../tamsel_eda/pyapi/sequences.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

using kernels::PackedRows;
using kernels::RowPlan;

constexpr std::int64_t int32_rows = std::int64_t{1} << 31;

void check_args(Py_ssize_t nargs, Py_ssize_t want, const char* signature) {
    if (nargs != want) throw py::type_error(signature);
}

py::object packed_tuple(const PackedRows& p) {
    if (p.bits) return py::make_tuple("bits", make_array(p.mask, "uint8"), p.length);
    if (p.length >= int32_rows) return py::make_tuple("at", make_array(p.at, "int64"), p.length);
    return py::make_tuple("at", make_array(p.at, "int64").attr("astype")("int32"), p.length);
}

PyObject* rows_plan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 3, "rows_plan(positions, offsets, lengths)");
        const auto positions = read_array<std::int64_t>(args[0], "int64");
        const auto offsets = read_array<std::int64_t>(args[1], "int64");
        const auto lengths = read_array<std::int64_t>(args[2], "int64");
        if (offsets.size() != lengths.size() || offsets.empty())
            throw py::value_error("one offset per partition length, at least one partition");
        const RowPlan plan =
            kernels::plan_rows(positions.data(), positions.size(), offsets.data(), lengths.data(), offsets.size());
        if (plan.status == RowPlan::Status::bad_partitions)
            throw py::value_error("partition offsets must start at 0, each where the one before ends");
        if (plan.status == RowPlan::Status::out_of_range)
            throw py::value_error("row positions must lie in 0.." + std::to_string(plan.rows - 1));
        py::list packed = pyapi::list_each(plan.parts, packed_tuple);
        py::object inverse = plan.inverse.empty() ? py::object(py::none()) : make_array(plan.inverse, "int64");
        return py::object(py::make_tuple(packed, inverse, make_array(plan.counts, "int64")));
    });
}

PyObject* rows_join(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 2, "rows_join(counts, inverse)");
        const auto counts = read_array<std::int64_t>(args[0], "int64");
        std::vector<std::int64_t> inverse;
        if (args[1] != Py_None) inverse = read_array<std::int64_t>(args[1], "int64");
        std::vector<std::int64_t> rows;
        if (!kernels::join_rows(counts.data(), counts.size(), inverse.data(), inverse.size(), rows))
            throw py::value_error("counts must not be negative, and an inverse names the pieces' wanted rows");
        return make_array(rows, "int64");
    });
}

PyObject* rows_unpack(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 1, "rows_unpack(packed)");
        py::tuple t = py::reinterpret_borrow<py::tuple>(args[0]);
        if (py::len(t) != 3) throw py::value_error("packed rows are (kind, data, length)");
        PackedRows p;
        const std::string kind = py::cast<std::string>(t[0]);
        if (kind != "bits" && kind != "at") throw py::value_error("packed rows are \"bits\" or \"at\"");
        p.bits = kind == "bits";
        p.length = py::cast<std::int64_t>(t[2]);
        if (p.bits) {
            p.mask = read_array<std::uint8_t>(t[1], "uint8");
        } else {
            p.at = read_array<std::int64_t>(t[1], "int64");
        }
        std::vector<std::int64_t> rows;
        if (!kernels::unpack_rows(p, rows)) throw py::value_error("these packed rows are no partition's plan");
        return make_array(rows, "int64");
    });
}

}  // namespace

const PyMethodDef sample_rows_entries[] = {
    {"rows_plan", fastcall(rows_plan), METH_FASTCALL,
     "rows_plan(positions, offsets, lengths): (each partition's packed rows, inverse or None, row counts)."},
    {"rows_unpack", fastcall(rows_unpack), METH_FASTCALL, "rows_unpack(packed): a partition's rows, ascending."},
    {"rows_join", fastcall(rows_join), METH_FASTCALL,
     "rows_join(counts, inverse): each asked row in the pieces' join."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
