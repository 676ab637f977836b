// Class creation through the metaclass, as the class statement performs it.
#include "classes.hpp"

#include <algorithm>
#include <string_view>

#include "errors.hpp"
#include "module.hpp"

namespace tarn {

int ClassBuilder::begin(const char* name, PyObject* bases) noexcept {
    class_name_ = name;
    bases_ = borrow(bases);
    if (!(name_ = steal(PyUnicode_FromString(name)))) return -1;
    // The most derived metaclass of the bases (type for no bases).
    PyObject* winner = reinterpret_cast<PyObject*>(&PyType_Type);
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(bases); i < n; ++i) {
        PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, i)));
        int sub = PyObject_IsSubclass(winner, t);
        if (sub < 0) return -1;
        if (sub) continue;
        int super = PyObject_IsSubclass(t, winner);
        if (super < 0) return -1;
        if (!super)
            return raise_int(PyExc_TypeError,
                             "metaclass conflict: the metaclass of a derived class must be a "
                             "(non-strict) subclass of the metaclasses of all its bases");
        winner = t;
    }
    meta_ = borrow(winner);
    Ref prepare;
    if (PyObject_GetOptionalAttrString(winner, "__prepare__", out_param(prepare)) < 0) return -1;
    if (prepare) {
        PyObject* args[] = {name_.get(), bases};
        ns_ = steal(PyObject_Vectorcall(prepare.get(), args, 2, nullptr));
    } else {
        ns_ = steal(PyDict_New());
    }
    if (!ns_) return -1;
    // What the class statement puts first: the defining module's name and the qualified name.
    if (set("__module__", borrow(module_name_object())) < 0) return -1;
    return set("__qualname__", borrow(name_.get()));
}

int ClassBuilder::set(const char* key, Ref value) noexcept {
    if (!value) return -1;
    Ref k = steal(PyUnicode_InternFromString(key));
    if (!k) return -1;
    return set_item(k.get(), std::move(value));
}

int ClassBuilder::set_item(PyObject* key, Ref value) noexcept {
    if (!value) return -1;
    return PyObject_SetItem(ns_.get(), key, value.get());
}

PyObject* ClassBuilder::new_method(const Definition& method) noexcept {
    Ref function = steal(new_function(method));
    if (!function || method.decorator == Decorator::none) return function.release();
    Ref name = steal(PyUnicode_InternFromString(
        method.decorator == Decorator::abstractmethod ? "abstractmethod" : "cached_property"));
    if (!name) return nullptr;
    Ref decorator = steal(lookup_global(name.get()));
    if (!decorator) return nullptr;
    return PyObject_CallOneArg(decorator.get(), function.get());
}

int ClassBuilder::set(Definitions methods) noexcept {
    for (const Definition& method : methods) {
        // The class statement stores a name that starts with two underscores, and does not end
        // with two, as _<class name without leading underscores><name>.
        std::string_view name = method.signature.name;
        std::string_view owner = class_name_;
        owner.remove_prefix(std::min(owner.find_first_not_of('_'), owner.size()));
        bool mangled = name.starts_with("__") && !name.ends_with("__") && !owner.empty();
        PyObject* text = mangled ? PyUnicode_FromFormat("_%s%s", owner.data(), name.data())
                                 : PyUnicode_FromString(name.data());
        if (!text) return -1;
        PyUnicode_InternInPlace(&text);
        Ref key = steal(text);
        if (set_item(key.get(), steal(new_method(method))) < 0) return -1;
    }
    return 0;
}

PyObject* ClassBuilder::finish() noexcept {
    PyObject* args[] = {name_.get(), bases_.get(), ns_.get()};
    return PyObject_Vectorcall(meta_.get(), args, 3, nullptr);
}

}  // namespace tarn
