// The verdict rule and the leakage warning: what the baselines' held-out R²
// values mean, against the chance level measured on the same sample.
#include <cmath>

#include "signal.hpp"

namespace tamsel::signal::detail {
namespace {

using pyapi::concat;

py::str r2_text(double x) { return pyapi::format(py::float_(x), ".4f"); }

// A threshold as the reason prints it ("0.25", "3").
py::str constant(double x) { return pyapi::format(py::float_(x), "g"); }

py::str percent(double share) { return pyapi::format(py::float_(100.0 * share), ".1f"); }

}  // namespace

namespace {

double mean_of(const std::vector<double>& v) {
    double sum = 0.0;
    for (double x : v) sum += x;
    return sum / static_cast<double>(v.size());
}

double std_of(const std::vector<double>& v) {
    if (v.size() < 2) return NAN;
    const double mean = mean_of(v);
    double ss = 0.0;
    for (double x : v) ss += (x - mean) * (x - mean);
    return std::sqrt(ss / static_cast<double>(v.size() - 1));
}

// Per fold, chance is never credited below 0, what predicting the training
// mean scores. A fold far below it (a time-ordered fold whose block trends
// away from everything before it can score -100) says nothing about how
// high chance reaches, and would blow the margin up past any signal.
std::vector<double> credited(const Baselines& b) {
    std::vector<double> out;
    for (double x : b.chance_per_fold) out.push_back(std::fmax(0.0, x));
    return out;
}

}  // namespace

double chance_mean(const Baselines& b) { return mean_of(b.chance_per_fold); }

// The spread of chance over single folds, not of their mean: with only a
// few repeats, the spread of repeat means would itself be a guess.
double chance_std(const Baselines& b) { return std_of(b.chance_per_fold); }

double chance_level(const Baselines& b) { return mean_of(credited(b)); }

double chance_margin(const Baselines& b) { return std::fmax(chance_sigmas * std_of(credited(b)), min_margin); }

Reading read(const Design& d, const Baselines& b) {
    Reading out;
    const bool linear_best = !(b.boosted.mean > b.linear.mean);
    const double best = linear_best ? b.linear.mean : b.boosted.mean;
    py::str which = pyapi::text(linear_best ? "linear" : "boosted");
    // A margin of a few chance deviations (never less than min_margin)
    // separates signal from luck.
    const double level = chance_level(b);
    const double margin = chance_margin(b);
    py::str best_text = concat({"the best held-out R\u00b2, ", r2_text(best), " (", which, "),"});
    const bool signal = best > level + margin;
    if (!signal) {
        out.verdict = pyapi::text("none");
        out.reason = concat({best_text, " does not beat the chance level ", r2_text(level), " by the margin ",
                             r2_text(margin), " (", constant(chance_sigmas),
                             " standard deviations of chance, at least ", constant(min_margin), ")"});
    } else if (best - level >= strong_margin) {
        out.verdict = pyapi::text("strong");
        out.reason = concat({best_text, " is ", r2_text(best - level), " above the chance level ", r2_text(level),
                             " (at least ", constant(strong_margin), " above it)"});
    } else {
        out.verdict = pyapi::text("weak");
        out.reason = concat({best_text, " beats the chance level ", r2_text(level), " by more than the margin ",
                             r2_text(margin), " but by less than ", constant(strong_margin)});
    }

    // Leakage: each rule names what it saw; the features it names are
    // listed once, in the order the rules found them.
    py::list parts;
    auto name = [&](py::handle feature) {
        if (!pyapi::contains(out.leakage_features, feature)) out.leakage_features.append(feature);
    };
    if (best >= leak_r2) {
        parts.append(concat({"the held-out R\u00b2 of ", r2_text(best), " (", which, ") is at least ",
                             constant(leak_r2), ", more than honest features usually give"}));
    }
    const Py_ssize_t n_features = static_cast<Py_ssize_t>(py::len(d.features));
    for (Py_ssize_t j = 0; j < n_features; ++j) {
        const double alone = pyapi::as_double(b.alone_r2[py::int_(j)]);
        if (alone >= leak_r2) {
            parts.append(
                concat({py::repr(d.features[j]), " alone predicts the target with held-out R\u00b2 ", r2_text(alone)}));
            name(d.features[j]);
        }
    }
    // Importance shares mean something only where there is signal: on noise
    // one tiny positive drop can hold all of it.
    if (signal) {
        double total = 0.0;
        for (Py_ssize_t j = 0; j < n_features; ++j) {
            total += std::fmax(0.0, pyapi::as_double(b.importance[py::int_(j)]));
        }
        for (Py_ssize_t j = 0; total > 0.0 && j < n_features; ++j) {
            const double share = std::fmax(0.0, pyapi::as_double(b.importance[py::int_(j)])) / total;
            if (share > leak_share) {
                parts.append(
                    concat({py::repr(d.features[j]), " carries ", percent(share), "% of the permutation importance"}));
                name(d.features[j]);
            }
        }
    }
    if (parts.empty()) {
        out.leakage_warning = py::none();
    } else {
        out.leakage_warning = concat({"possible leakage: ", py::str("; ").attr("join")(parts),
                                      ". Check that these values are known before the target is."});
    }
    return out;
}

}  // namespace tamsel::signal::detail
