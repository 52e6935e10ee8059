#include "bridge/errors.h"

#include "common/capi.h"

#include <new>
#include <stdexcept>

namespace ombrel::bridge {

static PyObject *python_type_of(nb::exception_type type) {
    switch (type) {
        case nb::exception_type::stop_iteration: return PyExc_StopIteration;
        case nb::exception_type::index_error: return PyExc_IndexError;
        case nb::exception_type::key_error: return PyExc_KeyError;
        case nb::exception_type::value_error: return PyExc_ValueError;
        case nb::exception_type::type_error: return PyExc_TypeError;
        case nb::exception_type::buffer_error: return PyExc_BufferError;
        case nb::exception_type::import_error: return PyExc_ImportError;
        case nb::exception_type::attribute_error: return PyExc_AttributeError;
        default: return PyExc_RuntimeError;
    }
}

void restore_error(std::exception_ptr error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyErr_SetString(python_type_of(e.type()), e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::out_of_range &e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error &e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::invalid_argument &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::domain_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

nb::python_error as_python_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (nb::python_error &e) {
        return std::move(e);
    } catch (...) {
        restore_error(std::current_exception());
        return nb::python_error();
    }
}

void set_stop_iteration(PyObject *value) noexcept {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject *stop = common::call_one_arg(PyExc_StopIteration, value);
    if (!stop)
        return;
    PyErr_SetObject(PyExc_StopIteration, stop);
    Py_DECREF(stop);
}

} // namespace ombrel::bridge
