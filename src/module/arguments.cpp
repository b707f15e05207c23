#include "module/arguments.hpp"

#include <cstring>

namespace olvane {

namespace {

constexpr const char* parameter_names[2] = {"file_path", "n_digits"};

// str -> the same text with each lone surrogate as three U+FFFD: what a name
// becomes when its UTF-8 bytes (surrogates passed through) are decoded
// leniently. New reference.
PyObject* lossy_text(PyObject* text) {
    PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass");
    if (bytes == nullptr) return nullptr;
    PyObject* clean = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), "replace");
    Py_DECREF(bytes);
    return clean;
}

bool unexpected_keyword(PyObject* name) {
    PyObject* shown = PyObject_Str(name);
    if (shown == nullptr) return false;
    PyObject* clean = lossy_text(shown);
    Py_DECREF(shown);
    if (clean == nullptr) return false;
    PyErr_Format(PyExc_TypeError, "rust_read_dunvel() got an unexpected keyword argument '%U'", clean);
    Py_DECREF(clean);
    return false;
}

bool missing_arguments(PyObject* slots[2]) {
    if (slots[0] == nullptr && slots[1] == nullptr)
        PyErr_SetString(PyExc_TypeError,
                        "rust_read_dunvel() missing 2 required positional arguments: "
                        "'file_path' and 'n_digits'");
    else
        PyErr_Format(PyExc_TypeError, "rust_read_dunvel() missing 1 required positional argument: '%s'",
                     parameter_names[slots[0] == nullptr ? 0 : 1]);
    return false;
}

}  // namespace

PyObject* type_name_text(PyTypeObject* type) {
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
    if (name != nullptr && PyUnicode_Check(name)) {
        PyObject* clean = lossy_text(name);
        Py_DECREF(name);
        if (clean != nullptr) return clean;
    } else {
        Py_XDECREF(name);
    }
    PyErr_Clear();
    return PyUnicode_FromString("<failed to extract type name>");
}

bool extract_arguments_fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* slots[2]) {
    for (Py_ssize_t i = 0; i < nargs && i < 2; ++i) slots[i] = args[i];
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "rust_read_dunvel() takes 2 positional arguments but %zd were given", nargs);
        return false;
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name, &size);
        int match = -1;
        if (text == nullptr) {
            PyErr_Clear();  // a name with lone surrogates matches no parameter
        } else {
            const std::string_view given(text, static_cast<std::size_t>(size));
            for (int p = 0; p < 2 && match < 0; ++p)
                if (given == parameter_names[p]) match = p;
        }
        if (match < 0) return unexpected_keyword(name);
        if (slots[match] != nullptr) {
            PyErr_Format(PyExc_TypeError, "rust_read_dunvel() got multiple values for argument '%s'",
                         parameter_names[match]);
            return false;
        }
        slots[match] = args[nargs + i];
    }
    if (slots[0] == nullptr || slots[1] == nullptr) return missing_arguments(slots);
    return true;
}

bool extract_str(PyObject* object, std::string_view& text) {
    if (!PyUnicode_Check(object)) {
        if (object == Py_None) {
            PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
            return false;
        }
        PyObject* type_name = type_name_text(Py_TYPE(object));
        if (type_name == nullptr) return false;
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'", type_name);
        Py_DECREF(type_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;
    text = {data, static_cast<std::size_t>(size)};
    return true;
}

bool extract_u32(PyObject* object, std::uint32_t& value) {
    unsigned long long wide;
    if (PyLong_Check(object)) {
        wide = PyLong_AsUnsignedLongLong(object);
    } else {
        PyObject* index = PyNumber_Index(object);
        if (index == nullptr) return false;
        wide = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
    }
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (wide > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    value = static_cast<std::uint32_t>(wide);
    return true;
}

void argument_extraction_error(const char* parameter) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyObject* remapped = nullptr;
    if (PyObject* reason = PyObject_Str(value)) {
        PyObject* message = PyUnicode_FromFormat("argument '%s': %U", parameter, reason);
        Py_DECREF(reason);
        if (message != nullptr) {
            remapped = PyObject_CallOneArg(PyExc_TypeError, message);
            Py_DECREF(message);
        }
    }
    if (remapped == nullptr) {
        // Keep whatever went wrong while rewording; the conversion's error is dropped.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyException_SetCause(remapped, PyException_GetCause(value));
    Py_DECREF(type);
    Py_DECREF(value);
    Py_XDECREF(traceback);
    Py_INCREF(PyExc_TypeError);
    PyErr_Restore(PyExc_TypeError, remapped, nullptr);
}

}  // namespace olvane
