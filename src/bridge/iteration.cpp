// Asynchronous iteration from C++ coroutines: `aiter` and `co_await anext`.
#include "bridge/coroutine.h"

#include "common/capi.h"

namespace ombrel::bridge {

nb::object aiter(nb::handle iterable) {
    PyObject *iterator = PyObject_GetAIter(iterable.ptr());
    if (!iterator)
        throw nb::python_error();
    return nb::steal(iterator);
}

nb::object NextItem::awaitable() const {
    unaryfunc anext = common::anext_slot(Py_TYPE(iterator_.ptr()));
    if (!anext)
        nb::raise_type_error("'async for' requires an iterator with __anext__ method, got %s",
                             common::type_name_of(iterator_.ptr()));
    PyObject *awaitable = anext(iterator_.ptr());
    if (!awaitable)
        throw nb::python_error();
    return nb::steal(awaitable);
}

nb::object detail::NextItemAwaiter::await_resume() {
    // The end of the iteration is taken without an exception.
    if (promise_.take_error_if(PyExc_StopAsyncIteration))
        return nb::object();
    return promise_.take_value();
}

} // namespace ombrel::bridge
