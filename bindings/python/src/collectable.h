// Taking part in Python's cyclic garbage collector. An object whose C++ value holds Python
// references (a control's handlers, the control an events view belongs to, a port watch's
// callback) must show them to the collector: a cycle through an object it cannot look
// into is never freed, and neither is anything the cycle holds (a control's open port).
#pragma once

#include <pybind11/pybind11.h>

namespace corvane_python {

namespace py = pybind11;

// The C++ value of an instance of T, or nullptr while it has none (before __init__).
template <class T>
T* valueOf(PyObject* self) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    auto valueAndHolder = instance->get_value_and_holder();
    return valueAndHolder.holder_constructed() ? valueAndHolder.value_ptr<T>() : nullptr;
}

// For py::custom_type_setup: T's traverse(visit, arg) visits each Python reference it
// holds, and its clearReferences() drops them all.
template <class T>
void makeCollectable(PyHeapTypeObject* heapType) {
    PyTypeObject* type = &heapType->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));  // an instance of a heap type holds its type
        T* value = valueOf<T>(self);
        return value ? value->traverse(visit, arg) : 0;
    };
    type->tp_clear = [](PyObject* self) {
        if (T* value = valueOf<T>(self))
            value->clearReferences();
        return 0;
    };
}

}  // namespace corvane_python
