// _native.open(source, into, prefix, width, keep_incomplete, growing): a
// plot file read a run of steps at a time, as a Reader object. source is a
// path's bytes, or a binary stream's bound method that fills a buffer
// (into: readinto-like, called with a writable memoryview) or returns bytes
// (read-like, called with a size); prefix the bytes that the caller already
// took from the stream, read before the rest. A stream is called only from
// the calling thread, with the interpreter lock held, while a thread of the
// reader's own parses the bytes without it; anything that the stream raises
// reaches the caller unchanged.
//
// Reader: names (tuple of str), width (0 until known), next_step,
// read(max_steps) -> (times, values, first_step, complete) with times and
// values Pages (max_steps 0: all), close(). Failures are read()'s
// ReaderError, as for _native.read.
#pragma once

#include "dunvel_module/python.hpp"

namespace dunvel {

PyTypeObject* make_reader_type(PyObject* module);

PyObject* open_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace dunvel
