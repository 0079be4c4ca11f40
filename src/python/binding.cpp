#include "python/binding.hpp"

#include <fmt/format.h>

#include <string>
#include <vector>

#include "python/errors.hpp"

namespace ov::py {
namespace {

const char* was_were(size_t n) { return n == 1 ? "was" : "were"; }

std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) out += " and ";
            else if (i + 1 == names.size()) out += ", and ";
            else out += ", ";
        }
        out += fmt::format("'{}'", names[i]);
    }
    return out;
}

std::nullptr_t too_many_positional(const Signature& sig, size_t given) {
    const size_t total = sig.params.size();
    if (sig.required == total) {
        return raise_type_error(fmt::format("{} takes {} positional arguments but {} {} given",
                                            sig.full_name, total, given, was_were(given)));
    }
    return raise_type_error(fmt::format("{} takes from {} to {} positional arguments but {} {} given",
                                        sig.full_name, sig.required, total, given, was_were(given)));
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
    for (auto& slot : slots) slot = nullptr;
    const size_t given = args ? static_cast<size_t>(PyTuple_GET_SIZE(args)) : 0;
    if (given > sig.params.size()) {
        too_many_positional(sig, given);
        return false;
    }
    for (size_t i = 0; i < given; ++i) slots[i] = PyTuple_GET_ITEM(args, i);

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
            if (name == nullptr) {
                PyErr_Clear();
                raise_type_error("keywords must be strings");
                return false;
            }
            size_t index = 0;
            while (index < sig.params.size() && std::string_view(sig.params[index]) != name) ++index;
            if (index == sig.params.size()) {
                raise_type_error(fmt::format("{} got an unexpected keyword argument '{}'", sig.full_name, name));
                return false;
            }
            if (slots[index] != nullptr) {
                raise_type_error(fmt::format("{} got multiple values for argument '{}'", sig.full_name, name));
                return false;
            }
            slots[index] = value;
        }
    }

    std::vector<std::string_view> missing;
    for (size_t i = 0; i < sig.required; ++i) {
        if (slots[i] == nullptr) missing.emplace_back(sig.params[i]);
    }
    if (!missing.empty()) {
        raise_type_error(fmt::format("{} missing {} required positional {}: {}", sig.full_name, missing.size(),
                                     missing.size() == 1 ? "argument" : "arguments", quoted_list(missing)));
        return false;
    }
    return true;
}

}  // namespace ov::py
