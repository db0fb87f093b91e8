// The library's continuous-continuous mutual information with the neighbour
// searches done natively. Everything before them is the library's own code
// path replayed step by step with its own helpers (validation, float copy,
// scaling, the jitter drawn from NumPy's global generator), so the matrix the
// kernel reads and the generator's state afterwards are the library's; the
// digamma values come from the library's digamma. The module's estimator is
// the same code from 1.5 to 1.9 (read in 1.5.2, 1.6.1, 1.7.2, 1.8.0 and
// 1.9.1), its trees compare
// a neighbour's rounded Chebyshev distance with `<=` against the radius.
#include "mi_native.hpp"

#include <optional>
#include <string>
#include <vector>

#include "../kernels/kernels.hpp"
#include "../kernels/mutual_info.hpp"
#include "../kernels/rules.hpp"
#include "../pyapi/background.hpp"
#include "../pyapi/column_views.hpp"

namespace tamsel::profile {
namespace {

constexpr std::size_t n_neighbors = 3;

// The library module whose mutual_info_regression `mi_reg` is (the package
// re-exports that same function), if it is one of the versions read.
py::object library_module(py::handle mi_reg) {
    py::object modules = py::module_::import("sys").attr("modules");
    py::object mod = modules.attr("get")("sklearn.feature_selection._mutual_info");
    if (mod.is_none() || !mi_reg.is(pyapi::getattr_or_none(mod, "mutual_info_regression"))) return py::object();
    py::object sklearn = modules.attr("get")("sklearn");
    if (sklearn.is_none()) return py::object();
    if (pyapi::getattr_or_none(sklearn, "__version__").is_none()) return py::object();
    if (!rules::releases::sklearn_mutual_info(pyapi::version_of(sklearn))) return py::object();
    return mod;
}

// The scaled, jittered matrix and target the kernel reads, held with their
// buffer views until the kernel is done.
class PendingMutualInfo final : public Pending {
public:
    PendingMutualInfo(py::object np, py::object X, py::object y, py::object digamma)
        : np_(std::move(np)),
          X_(std::move(X)),
          y_(std::move(y)),
          digamma_(std::move(digamma)),
          xv_(X_),
          yv_(y_),
          dg_(digamma_) {}

    // False when the kernel cannot take these arrays; nothing has run then.
    bool set_up(std::size_t n_samples, std::size_t n_features) {
        if (xv_.ndim() != 2 || yv_.ndim() != 1 || yv_.rows() != n_samples ||
            static_cast<std::size_t>(dg_.size()) != n_samples) {
            return false;
        }
        p_.x = xv_.data();
        p_.row_stride = xv_.row_stride();
        p_.col_stride = xv_.col_stride();
        p_.n = n_samples;
        p_.features = n_features;
        p_.y = yv_.data();
        p_.y_stride = yv_.row_stride();
        p_.neighbors = n_neighbors;
        p_.digamma = dg_.data();
        // The scaled values are finite once validation passed, unless the
        // scaling itself overflowed; then the library decides.
        if (!kernels::mutual_info_supported(p_)) return false;
        mi_.assign(n_features, 0.0);
        const kernels::MiProblem* p = &p_;
        double* out = mi_.data();
        run_.emplace([p, out](const std::function<bool()>& poll) { return kernels::mutual_info_cc(*p, out, poll); });
        return true;
    }

    // max(0, mi) per feature, then np.array of those: a feature without
    // evidence is the integer 0, so all of them make an integer array.
    py::object finish() override {
        // Stopped only by a signal handler's exception, which finish() raises.
        run_->finish();
        run_.reset();
        py::list values;
        for (double v : mi_) {
            if (v > 0) {
                values.append(py::float_(v));
            } else {
                values.append(py::int_(0));
            }
        }
        return np_.attr("array")(values);
    }

private:
    py::object np_, X_, y_, digamma_;
    StridedFloat64 xv_, yv_;
    pyapi::Float64View dg_;
    kernels::MiProblem p_;
    std::vector<double> mi_;
    // Declared last: destroyed (stopped and joined) before what it reads.
    std::optional<pyapi::Background> run_;
};

// What the library's validation turns a plain pandas frame or series into:
// for columns of NumPy numbers alone it takes np.asarray of the object, and
// from the array so made it reaches the same checks and the same array.
// Handing it that array spares the first call in a process the dataframe
// layer newer releases route pandas objects through (its imports: about
// 7 ms of CPU with scikit-learn 1.9). Anything else goes to the validation
// as it is.
py::object plain_numbers(py::handle np, py::handle obj) {
    py::object pd = py::module_::import("sys").attr("modules").attr("get")("pandas");
    if (pd.is_none()) return py::reinterpret_borrow<py::object>(obj);
    auto numpy_number = [&](py::handle dtype) {
        if (!py::isinstance(dtype, np.attr("dtype"))) return false;
        const std::string kind = py::str(dtype.attr("kind"));
        return kind == "i" || kind == "u" || kind == "f";
    };
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()));
    if (type == pd.attr("Series").ptr()) {
        if (numpy_number(obj.attr("dtype"))) return np.attr("asarray")(obj);
    } else if (type == pd.attr("DataFrame").ptr()) {
        py::list dtypes(obj.attr("dtypes"));
        bool plain = !dtypes.empty();
        for (py::handle d : dtypes) plain = plain && numpy_number(d);
        if (plain) return np.attr("asarray")(obj);
    }
    return py::reinterpret_borrow<py::object>(obj);
}

std::unique_ptr<Pending> prepare(py::handle mi_reg, py::handle X_in, py::handle y_in, SharedFeatures& shared,
                                 bool read_again) {
    py::object mod = library_module(mi_reg);
    if (!mod) return nullptr;
    py::object np = mod.attr("np");

    // Validation first: what it refuses (missing or infinite values, say) is
    // the library's to refuse, before any draw from the generator.
    py::object X, y;
    if (!shared.given || !shared.given.is(X_in)) {
        shared = SharedFeatures{};
        shared.given = py::reinterpret_borrow<py::object>(X_in);
        shared.plain = plain_numbers(np, X_in);
    }
    const bool valid = pyapi::guarded(
        [&] {
            auto [X_ok, y_ok] = pyapi::unpack_pair(mod.attr("check_X_y")(
                shared.plain, plain_numbers(np, y_in), "accept_sparse"_a = "csc", "y_numeric"_a = true));
            X = X_ok;
            y = y_ok;
            return true;
        },
        [] { return false; });
    if (!valid || !py::isinstance(X, np.attr("ndarray")) || py::len(X.attr("shape")) != 2) return nullptr;
    py::tuple shape = X.attr("shape");
    const std::size_t n_samples = shape[0].cast<std::size_t>();
    const std::size_t n_features = shape[1].cast<std::size_t>();
    if (n_samples <= n_neighbors || n_samples > 8192 || n_features == 0) return nullptr;

    // discrete_features=False: every feature continuous.
    py::object continuous_mask = np.attr("ones")(n_features, "dtype"_a = np.attr("bool_"));
    py::tuple all_rows = py::make_tuple(py::slice(py::none(), py::none(), py::none()), continuous_mask);
    py::object rng = mod.attr("check_random_state")(py::none());
    py::object scale = mod.attr("scale");
    // Restored if the kernel declines after the draws, so that the library's
    // own call then starts from the same state.
    py::object rng_state = rng.attr("get_state")();

    // The validation hands back the array it was given when that needs no
    // conversion, so the same array again has the same float copy and scaling.
    // Kept only once all of it is made.
    if (!shared.validated || !shared.validated.is(X)) {
        py::object scaled = X.attr("astype")(np.attr("float64"), "copy"_a = true);
        scaled[all_rows] = scale(scaled[all_rows], "with_mean"_a = false, "copy"_a = false);
        py::object means = np.attr("maximum")(1, np.attr("mean")(np.attr("abs")(scaled[all_rows]), "axis"_a = 0));
        py::object digamma = mod.attr("digamma")(np.attr("arange")(1, n_samples + 1, "dtype"_a = np.attr("float64")));
        shared.digamma = np.attr("ascontiguousarray")(digamma, "dtype"_a = np.attr("float64"));
        shared.validated = X;
        shared.scaled = scaled;
        shared.means = means;
    }
    // The jitter is added in place: to a copy of the same layout while a
    // later target needs the scaled values, else to them.
    py::object means = shared.means;
    py::object digamma_c = shared.digamma;
    if (read_again) {
        X = shared.scaled.attr("astype")(np.attr("float64"), "copy"_a = true);
    } else {
        X = shared.scaled;
        shared = SharedFeatures{};
    }
    py::object noise =
        rng.attr("standard_normal")("size"_a = py::make_tuple(n_samples, np.attr("sum")(continuous_mask)));
    py::object block = X[all_rows];
    block = block.attr("__iadd__")(py::float_(1e-10) * means * noise);
    X[all_rows] = block;

    y = scale(y, "with_mean"_a = false);
    py::object y_noise = rng.attr("standard_normal")("size"_a = n_samples);
    y = y.attr("__iadd__")(py::float_(1e-10) * np.attr("maximum")(1, np.attr("mean")(np.attr("abs")(y))) * y_noise);
    // A float32 target stays float32 through the scaling and takes the noise
    // in its own precision; the neighbour searches then read it as float64
    // (stacked beside the float64 feature, and in the target's own tree), an
    // exact conversion made here once.
    y = y.attr("astype")(np.attr("float64"), "copy"_a = false);

    // Arrays the kernel cannot read leave the call to the library too, from
    // the generator's state before the draws.
    std::unique_ptr<PendingMutualInfo> pending;
    try {
        pending = std::make_unique<PendingMutualInfo>(np, X, y, digamma_c);
    } catch (py::type_error&) {
        pending.reset();
    }
    if (!pending || !pending->set_up(n_samples, n_features)) {
        rng.attr("set_state")(rng_state);
        return nullptr;
    }
    return pending;
}

}  // namespace

std::unique_ptr<Pending> start_native_mutual_info(py::handle mi_reg, py::handle X, py::handle y, SharedFeatures& shared,
                                                  bool read_again) {
    return prepare(mi_reg, X, y, shared, read_again);
}

}  // namespace tamsel::profile
