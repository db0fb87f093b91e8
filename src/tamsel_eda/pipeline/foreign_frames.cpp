// Frames that are not pandas: a Polars DataFrame or LazyFrame, a PyArrow
// Table, RecordBatch or RecordBatchReader, a DuckDB relation, or anything
// that offers the Arrow C stream. Each is converted once, by its own
// library's conversion to pandas, so that its report is the report of the
// frame a user gets from that library; nothing here imports Polars or DuckDB
// (their objects carry their methods), and PyArrow only for a bare Arrow
// stream.
#include "pipeline.hpp"

namespace tamsel::pipeline {
namespace {

bool from_module(py::handle obj, const char* package) {
    py::object module = pyapi::getattr_or_none(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())), "__module__");
    if (!PyUnicode_Check(module.ptr())) return false;
    const std::string name = py::cast<std::string>(module);
    const std::string root(package);
    return name == root || name.rfind(root + ".", 0) == 0;
}

std::string type_name(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

}  // namespace

py::object foreign_to_pandas(py::handle df) {
    const std::string name = type_name(df);
    // A library's other objects (a pandas or Polars Series, an Arrow array)
    // may offer an Arrow stream too, but they are columns, not frames: they
    // are refused as before.
    if (from_module(df, "pandas")) return py::object();
    if (from_module(df, "polars")) {
        if (name == "LazyFrame") return df.attr("collect")().attr("to_pandas")();
        if (name == "DataFrame") return df.attr("to_pandas")();
        return py::object();
    }
    if (from_module(df, "pyarrow")) {
        if (name == "pyarrow.lib.Table" || name == "pyarrow.lib.RecordBatch") return df.attr("to_pandas")();
        if (name == "pyarrow.lib.RecordBatchReader") return df.attr("read_all")().attr("to_pandas")();
        return py::object();
    }
    if (from_module(df, "duckdb")) {
        if (name.find("Relation") != std::string::npos) return df.attr("df")();
        return py::object();
    }
    if (!pyapi::hasattr(df, pyapi::text("__arrow_c_stream__"))) return py::object();
    py::object pa = pyapi::steal_or_throw<py::object>(PyImport_ImportModule("pyarrow"));
    try {
        return pa.attr("table")(df).attr("to_pandas")();
    } catch (py::error_already_set& e) {
        // A stream of something other than records (one column's values)
        // is not a frame either.
        if (e.matches(pa.attr("lib").attr("ArrowInvalid")) &&
            pyapi::contains(py::str(e.value()), pyapi::text("non-struct type")))
            return py::object();
        throw;
    }
}

}  // namespace tamsel::pipeline
