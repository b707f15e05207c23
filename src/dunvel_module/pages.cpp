#include "dunvel_module/pages.hpp"

namespace dunvel {

namespace {

struct Pages {
    PyObject_HEAD void* address;
    std::size_t mapped_bytes;
    Py_ssize_t used_bytes;
};

// A zero-length buffer still needs an address that is not null.
char empty_buffer[1];

int pages_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* pages = reinterpret_cast<Pages*>(self);
    void* data = pages->address != nullptr ? pages->address : empty_buffer;
    return PyBuffer_FillInfo(view, self, data, pages->used_bytes, 0, flags);
}

void pages_dealloc(PyObject* self) {
    auto* pages = reinterpret_cast<Pages*>(self);
    PyTypeObject* type = Py_TYPE(self);
    reader::unmap(pages->address, pages->mapped_bytes);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot pages_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pages_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(pages_getbuffer)},
    {Py_tp_doc, const_cast<char*>("Memory of a plot's values or times, lent to NumPy arrays.")},
    {0, nullptr},
};

PyType_Spec pages_spec = {
    "dunvel._native.Pages",
    sizeof(Pages),
    0,
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
    // Not creatable from Python: only the reader makes them.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
#else
    Py_TPFLAGS_DEFAULT,
#endif
    pages_slots,
};

}  // namespace

PyTypeObject* make_pages_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &pages_spec, nullptr));
}

PyObject* new_pages(PyTypeObject* type, reader::MappedBytes::Released memory, std::size_t used_bytes) {
    auto* pages = PyObject_New(Pages, type);
    if (pages == nullptr) {
        reader::unmap(memory.address, memory.mapped_bytes);
        return nullptr;
    }
    pages->address = memory.address;
    pages->mapped_bytes = memory.mapped_bytes;
    pages->used_bytes = static_cast<Py_ssize_t>(used_bytes);
    return reinterpret_cast<PyObject*>(pages);
}

}  // namespace dunvel
