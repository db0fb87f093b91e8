// Inline SVG charts for the HTML report. The drawing is plain rectangles and
// text in a fixed 480-unit-wide view box that the page scales to its width,
// so a chart needs no script, no font metrics and no plotting library.
#include <cmath>

#include "render.hpp"

namespace tamsel::render::svg {
namespace {

constexpr double width = 480.0;
constexpr double label_width = 190.0;  // label column, right-aligned text
constexpr double value_width = 52.0;   // printed value after the bar area
constexpr double row_height = 22.0;
constexpr double bar_height = 14.0;
constexpr double pad = 6.0;

}  // namespace

py::str decoded(const std::string& utf8_text) {
    PyObject* o = PyUnicode_DecodeUTF8(utf8_text.data(), static_cast<Py_ssize_t>(utf8_text.size()), "strict");
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

std::string utf8(py::handle str) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size))
        return std::string(data, static_cast<std::size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();
    // Lone surrogates: encoded as they stand, then each replaced by U+FFFD.
    PyObject* bytes = PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass");
    if (!bytes) throw py::error_already_set();
    const std::string raw(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const auto c = static_cast<unsigned char>(raw[i]);
        if (c == 0xED && i + 2 < raw.size() && static_cast<unsigned char>(raw[i + 1]) >= 0xA0) {
            out += "\xEF\xBF\xBD";
            i += 2;
        } else {
            out += raw[i];
        }
    }
    return out;
}

std::string escape(std::string_view s) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(s.size() + 16);
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            case '\t':
            case '\n':
            case '\r':
                out += static_cast<char>(c);
                break;
            default:
                if (c < 0x20) {
                    out += replacement;
                } else if (c == 0xEF && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xBF &&
                           (static_cast<unsigned char>(s[i + 2]) & 0xFE) == 0xBE) {
                    // U+FFFE and U+FFFF are not characters in XML either.
                    out += replacement;
                    i += 2;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string num(double x, const char* spec) { return utf8(pyapi::format(py::float_(x), spec)); }

const char* band_colour(double q) {
    if (std::isnan(q)) return "#9aa0a6";
    if (q >= 0.75) return "#2e7d32";
    if (q >= 0.5) return "#e08a00";
    return "#c62828";
}

std::string bar_chart(const std::string& title, const std::vector<Bar>& bars, double lo, double hi) {
    const double height = pad * 2 + row_height * static_cast<double>(bars.size());
    const double x0 = label_width + 8.0;
    const double span = width - x0 - value_width;
    const double zero_x = lo < 0.0 ? x0 + span * (-lo) / (hi - lo) : x0;
    std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" viewBox=\"0 0 " + num(width) + " " +
                      num(height) + "\" role=\"img\" aria-label=\"" + title + "\">";
    out += "<rect class=\"track\" x=\"" + num(x0) + "\" y=\"" + num(pad - 2) + "\" width=\"" + num(span) +
           "\" height=\"" + num(height - 2 * pad + 4) + "\"/>";
    double y = pad;
    for (const Bar& bar : bars) {
        const double mid = y + row_height / 2.0;
        out += "<g><title>" + bar.label + ": " + bar.value_text + "</title>";
        out += "<text class=\"label\" x=\"" + num(label_width) + "\" y=\"" + num(mid) +
               "\" text-anchor=\"end\" dominant-baseline=\"central\">" + bar.short_label + "</text>";
        if (std::isfinite(bar.value)) {
            const double v = std::fmin(hi, std::fmax(lo, bar.value));
            const double x = x0 + span * (v - lo) / (hi - lo);
            const double left = std::fmin(x, zero_x);
            const double len = std::fabs(x - zero_x);
            out += "<rect x=\"" + num(left) + "\" y=\"" + num(mid - bar_height / 2.0) + "\" width=\"" + num(len) +
                   "\" height=\"" + num(bar_height) + "\" rx=\"2\" fill=\"" + bar.colour + "\"/>";
        }
        out += "<text class=\"value\" x=\"" + num(width - value_width + 6.0) + "\" y=\"" + num(mid) +
               "\" dominant-baseline=\"central\">" + bar.value_text + "</text></g>";
        y += row_height;
    }
    if (lo < 0.0) {
        out += "<line class=\"axis\" x1=\"" + num(zero_x) + "\" y1=\"" + num(pad - 2) + "\" x2=\"" + num(zero_x) +
               "\" y2=\"" + num(height - pad + 2) + "\"/>";
    }
    out += "</svg>";
    return out;
}

std::string gauge(const std::string& title, double score, const std::string& score_text) {
    const double x0 = 12.0;
    const double span = width - 2 * x0;
    std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart gauge\" viewBox=\"0 0 " + num(width) +
                      " 64\" role=\"img\" aria-label=\"" + title + "\">";
    out += "<rect class=\"track\" x=\"" + num(x0) + "\" y=\"8\" width=\"" + num(span) + "\" height=\"22\" rx=\"11\"/>";
    if (std::isfinite(score)) {
        const double v = std::fmin(100.0, std::fmax(0.0, score));
        out += "<rect x=\"" + num(x0) + "\" y=\"8\" width=\"" + num(span * v / 100.0) +
               "\" height=\"22\" rx=\"11\" fill=\"" + band_colour(v / 100.0) + "\"/>";
    }
    for (int tick = 0; tick <= 100; tick += 25) {
        const double x = x0 + span * tick / 100.0;
        const char* anchor = tick == 0 ? "start" : (tick == 100 ? "end" : "middle");
        out += "<line class=\"axis\" x1=\"" + num(x) + "\" y1=\"32\" x2=\"" + num(x) + "\" y2=\"38\"/>";
        out += "<text class=\"tick\" x=\"" + num(x) + "\" y=\"52\" text-anchor=\"" + anchor + "\">" +
               utf8(pyapi::format(py::int_(tick))) + "</text>";
    }
    out += "<title>" + title + ": " + score_text + "</title></svg>";
    return out;
}

}  // namespace tamsel::render::svg
