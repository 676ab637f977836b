// The native function type: one type for every function and method of the three modules, with
// vectorcall, method binding, argument binding by a constant signature, and Python metadata.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "ref.hpp"

namespace tarn {

// The most parameters a signature may have (`self` included, `**kw` not).
inline constexpr int kMaxParams = 8;

// The exact-type requirement of a parameter (annotation "str", "int" or "str | None").
enum class Check : std::uint8_t { any, exact_str, exact_int, exact_str_or_none };

struct Param {
    const char* name;
    Check check = Check::any;
    const char* annotation = nullptr;  // text annotation, or none
    bool has_default = false;          // takes the next value of the defaults tuple
};

// A constant description of a function's parameters: positional-or-keyword parameters
// (including `self` for methods), of which the last `nparams - required` take defaults, and
// optionally a `**kw` parameter that collects the other keywords.
struct Signature {
    const char* name;      // __name__, also used in argument-error messages
    const char* qualname;  // __qualname__
    const char* doc;       // __doc__, or nullptr for None
    const Param* params;
    int nparams;
    int required;          // -1 when a parameter without a default follows one with a default
    const char* var_kw;    // name of the **kw parameter, or nullptr

    // The counts come from the parameter array and its has_default marks:
    //     constexpr Param kParams[] = {{"self"}, {.name = "channel", .has_default = true}};
    //     constexpr Signature kSig{"update", "Plinth.update", nullptr, kParams};
    template <std::size_t N>
    constexpr Signature(const char* function_name, const char* qualified_name, const char* docstring,
                        const Param (&parameters)[N], const char* collected = nullptr) noexcept
        : name(function_name), qualname(qualified_name), doc(docstring), params(parameters),
          nparams(static_cast<int>(N)), required(leading_required(parameters, N)), var_kw(collected) {
        static_assert(N <= kMaxParams, "more parameters than the binder takes");
    }

private:
    // The parameters before the first one with a default; -1 when a later one has none.
    static constexpr int leading_required(const Param* parameters, std::size_t n) noexcept {
        std::size_t first = 0;
        while (first < n && !parameters[first].has_default) ++first;
        for (std::size_t i = first; i < n; ++i)
            if (!parameters[i].has_default) return -1;
        return static_cast<int>(first);
    }
};

// The keywords that a **kw parameter collected, as a vectorcall keyword view: `names` is a
// tuple of str (borrowed) and `values` its matching values (borrowed). Empty when the caller
// passed none; then no tuple or dict was made.
struct Keywords {
    PyObject* names = nullptr;
    PyObject* const* values = nullptr;

    Py_ssize_t size() const noexcept { return names ? PyTuple_GET_SIZE(names) : 0; }
    // The value passed for `key` (compared by identity first, then by text), or nullptr.
    PyObject* find(PyObject* key) const noexcept { return names ? find_given(key) : nullptr; }

private:
    PyObject* find_given(PyObject* key) const noexcept;
};

// A function body: `args` holds one borrowed value per parameter (defaults filled in),
// `kw` the collected keywords. Returns a new reference, or nullptr with an exception set.
using Impl = PyObject* (*)(PyObject* const* args, const Keywords& kw) noexcept;

// What the class statement applies to a method before binding it: the decorator of that name
// as the module namespace holds it then.
enum class Decorator : std::uint8_t { none, abstractmethod, cached_property };

// One function or method as its file defines it: a row of the file's constexpr table, which
// module.cpp binds in the module or hands to ClassBuilder in namespace order. For example:
//     constexpr tarn::Definition kMethods[] = {
//         {{"info", "Plinth.info", nullptr, kSelf}, info_impl},
//         {.signature = {"open", "Plinth.open", kOpenDoc, kSelf, "kw"}, .impl = none_impl,
//          .decorator = tarn::Decorator::abstractmethod},
//     };
//     constinit const tarn::Definitions driver_methods = kMethods;
struct Definition {
    Signature signature;
    Impl impl;
    Decorator decorator = Decorator::none;
    // The tuple of default values (new reference), for a signature with defaulted parameters.
    PyObject* (*defaults)() noexcept = nullptr;
};

using Definitions = std::span<const Definition>;

// Creates a function object of the module's function type. `defaults` (borrowed, may be
// nullptr when no parameter has a default) is a tuple with exactly one value per defaulted
// parameter; anything else raises SystemError. Returns a new reference.
PyObject* new_function(const Signature& sig, Impl impl, PyObject* defaults = nullptr) noexcept;
// The same for one row of a table, its defaults made first. Returns a new reference.
PyObject* new_function(const Definition& definition) noexcept;

// Creates the function type; called once by the module setup. Returns a new reference.
PyObject* create_function_type() noexcept;

}  // namespace tarn
