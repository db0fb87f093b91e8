// Python containers to and from C++ ones, an element at a time: the one place
// the kernels' bindings walk a sequence, so that each binding only names what
// an element is read as or written as.
#pragma once

#include <cstddef>
#include <iterator>
#include <type_traits>
#include <utility>
#include <vector>

#include "pyapi.hpp"

namespace tamsel::pyapi {

// [read(item) for item in iterable], as a vector.
template <class Read>
auto read_each(py::handle iterable, Read&& read) {
    std::vector<std::decay_t<decltype(read(py::handle{}))>> out;
    for (py::handle item : py::reinterpret_borrow<py::iterable>(iterable)) out.push_back(read(item));
    return out;
}

// [write(value) for value in values], as a list.
template <class Range, class Write>
py::list list_each(const Range& values, Write&& write) {
    py::list out;
    for (const auto& value : values) out.append(write(value));
    return out;
}

// [write(value) for value in values], each value emptied once written, so
// that what it holds is not held twice over while the list grows.
template <class T, class Write>
py::list list_draining(std::vector<T>& values, Write&& write) {
    py::list out;
    for (T& value : values) {
        out.append(write(value));
        value = T{};
    }
    return out;
}

// [convert(value) for value in values], as a vector: the fields a kernel
// reads, taken from the arguments that hold them.
template <class Range, class Convert>
auto map_each(const Range& values, Convert&& convert) {
    std::vector<std::decay_t<decltype(convert(*std::begin(values)))>> out;
    out.reserve(std::size(values));
    for (const auto& value : values) out.push_back(convert(value));
    return out;
}

// A list of the values as the interpreter's own objects (int, float, bool,
// str, or tuples of them).
template <class Range>
py::list list_of(const Range& values) {
    return list_each(values, [](const auto& value) { return py::cast(value); });
}

// {key(entry): value(entry) for entry in entries}.
template <class Range, class Key, class Value>
py::dict dict_each(const Range& entries, Key&& key, Value&& value) {
    py::dict out;
    for (const auto& entry : entries) out[key(entry)] = value(entry);
    return out;
}

}  // namespace tamsel::pyapi
