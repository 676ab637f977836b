// Creating classes the way Python's class statement does: most derived metaclass, namespace
// from __prepare__, filled in order, then metaclass(name, bases, namespace).
#pragma once
#include <Python.h>

#include "function.hpp"
#include "ref.hpp"

namespace tarn {

class ClassBuilder {
public:
    // Picks the metaclass of `bases` (a tuple, borrowed), asks it for the namespace and sets
    // __module__ (this module's name) and __qualname__ (`name`) in it, as the class statement
    // does for a class at module level. `name` (a literal) is kept for mangling private names.
    int begin(const char* name, PyObject* bases) noexcept;
    // namespace[key] = value; an empty `value` is an error to pass on (-1).
    int set(const char* key, Ref value) noexcept;
    // Sets a method for each row of `methods`, in order: the function, decorated as the row
    // says, under its name (a private name such as __client mangled with the class name).
    int set(Definitions methods) noexcept;
    // Calls the metaclass; returns the new class (new reference).
    PyObject* finish() noexcept;

private:
    // namespace[key] = value for a key held as a Python str.
    int set_item(PyObject* key, Ref value) noexcept;
    // The function of one row, decorated (new reference).
    PyObject* new_method(const Definition& method) noexcept;

    const char* class_name_ = "";
    Ref meta_, name_, bases_, ns_;
};

}  // namespace tarn
