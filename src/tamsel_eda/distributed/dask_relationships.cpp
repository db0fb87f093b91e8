// The relationship section of a Dask frame: the correlation matrix of the
// correlation sample and the mutual information of the relevance sample,
// each by the in-memory step itself, and the correlation ratios of the
// driver's passes over every row.
#include "../profile/profile.hpp"
#include "distributed.hpp"

namespace tamsel::distributed {
namespace {

// `in` with `sample` for its frame: the in-memory step then reads the
// sample's rows, and nothing of the Dask path.
Input on_sample(const Input& in, py::object sample) {
    Input s = in;
    s.dist = py::object();
    s.meta = s.df = std::move(sample);
    s.n_rows = py::int_(py::len(s.df));
    s.rows = static_cast<Py_ssize_t>(py::len(s.df));
    return s;
}

}  // namespace

analysis::Relationships relationships(const Input& in) {
    py::object corr_sample = in.dist.attr("corr_sample");
    const Input corr_in = on_sample(in, corr_sample.is_none() ? in.meta : corr_sample);
    profile::RelationshipsStart corr_start(corr_in, profile::RelationshipParts::correlation);
    analysis::Relationships out = profile::relationships(corr_in, corr_start);

    py::object mi_sample = in.dist.attr("mi_sample");
    if (!mi_sample.is_none()) {
        // The sample holds the numeric targets only, each once; the step
        // walks the targets in order, repeats included.
        Input mi_in = on_sample(in, mi_sample);
        mi_in.target_cols = in.numeric_targets;
        profile::RelationshipsStart mi_start(mi_in, profile::RelationshipParts::numeric_relevance);
        out.num_rel_by_target = profile::relationships(mi_in, mi_start).num_rel_by_target;
    }

    py::object ratios = in.dist.attr("cat_corr_ratio");
    py::object cat_subset =
        pyapi::head(in.cat_cols, pyapi::builtin(in.frame.globals(), "min")(in.max_cat_features, py::len(in.cat_cols)));
    for (py::handle tgt : in.target_cols) {
        if (!pyapi::contains(ratios, tgt)) continue;
        py::object of_target = ratios[tgt];
        py::dict rel;
        for (py::handle c : cat_subset) {
            py::object val = of_target.attr("get")(c);
            if (!val.is_none()) rel[c] = pyapi::to_float(val);
        }
        if (!rel.empty()) out.cat_rel_by_target[tgt] = rel;
    }
    return out;
}

}  // namespace tamsel::distributed
