// summary_fields() -> ((name, is_count), ...): the names of the first
// figures of each row summary_finish gives (kernels::split_figure_names),
// which the Dask driver's table of column summaries is built on.
#include "../tamsel_eda/kernels/summary.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* summary_fields(PyObject*, PyObject*) {
    return entry([&] {
        py::list out;
        for (const kernels::SplitFigureName& f : kernels::split_figure_names)
            out.append(py::make_tuple(py::str(f.name.data(), f.name.size()), py::bool_(f.count)));
        return py::object(py::tuple(out));
    });
}

}  // namespace

const PyMethodDef summary_table_entries[] = {
    {"summary_fields", summary_fields, METH_NOARGS,
     "summary_fields(): (name, is_count) of the first figures of summary_finish's rows."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
