#pragma once

// The Python Stream: its value is the engine's stream state; the methods live
// in stream_lifecycle.cpp (open, close, run, ...) and stream_frames.cpp (send
// and receive).

#include <memory>

#include "engine/stream_core.hpp"
#include "python/classes.hpp"

namespace ov::py {

struct StreamValue {
    // Behind a pointer: the state holds locks and threads and never moves.
    std::unique_ptr<engine::StreamCore> core;
};

inline engine::StreamCore& core_of(PyObject* self) { return *unbox<StreamValue>(self).core; }

// "stream not open — call open() first or use as a context manager"
std::nullptr_t raise_not_open();

// Takes the supervision thread out of its slot and waits for it with the
// interpreter lock released. Returns false with RuntimeError set when the
// thread failed ("stream thread panicked", or the stream's error).
bool join_supervision(engine::StreamCore& core);

PyObject* stream_open(PyObject* self, PyObject*);
PyObject* stream_close(PyObject* self, PyObject*);
PyObject* stream_restart(PyObject* self, PyObject*);
PyObject* stream_run(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* stream_enter(PyObject* self, PyObject*);
PyObject* stream_exit(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* stream_send_frame(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* stream_send_encoded(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* stream_recv_frame(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* stream_recv_encoded(PyObject* self, PyObject* args, PyObject* kwargs);

// Stops an open stream whose object is being destroyed.
void stop_abandoned(engine::StreamCore& core);

}  // namespace ov::py
