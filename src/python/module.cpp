// The module entry point: the sub-interpreter guard, the logging bridge and
// the registration of the classes and of h264_encoder().

#include <atomic>
#include <string>

#include "media/h264_choice.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/log_bridge.hpp"

namespace ov::py {
namespace {

std::atomic<int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // guarded by the interpreter lock; kept for the process
LogBridge* g_bridge = nullptr;

PyObject* h264_encoder(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        const std::string_view family = choose_h264_encoder();
        return PyUnicode_FromStringAndSize(family.data(), static_cast<Py_ssize_t>(family.size()));
    });
}

PyObject* on_exit(PyObject*, PyObject*) {
    if (g_bridge != nullptr) g_bridge->shut_down();
    Py_RETURN_NONE;
}

PyMethodDef kH264Encoder = {"h264_encoder", h264_encoder, METH_NOARGS, "h264_encoder()\n--\n\n"};
PyMethodDef kOnExit = {"_stop_logging", on_exit, METH_NOARGS, nullptr};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "orvane_video", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

bool add_name(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    const PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all, text.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, value) == 0;
}

bool install_logging() {
    PyRef name = PyRef::steal(PyUnicode_FromString("logging"));
    PyRef logging = name ? PyRef::steal(PyImport_Import(name.get())) : PyRef();
    if (!logging) {
        const std::string cause = pending_error_text();
        raise_internal_fault("Failed to initialize python logging: " + cause);
        return false;
    }
    g_bridge = install_log_bridge(std::move(logging));
    // Stop forwarding before the interpreter finalises.
    const PyRef atexit_name = PyRef::steal(PyUnicode_FromString("atexit"));
    const PyRef atexit = atexit_name ? PyRef::steal(PyImport_Import(atexit_name.get())) : PyRef();
    const PyRef hook = PyRef::steal(PyCFunction_New(&kOnExit, nullptr));
    if (!atexit || !hook) return false;
    return static_cast<bool>(PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get())));
}

PyObject* create_module() {
    PyRef module = PyRef::steal(PyModule_Create(&kModule));
    if (!module) return nullptr;
    if (!install_logging()) return nullptr;

    PyRef all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
    for (int i = 0; i < kClassCount; ++i) {
        const auto id = static_cast<ClassId>(i);
        PyTypeObject* type = type_object(id);
        if (type == nullptr) return nullptr;
        if (!add_name(module.get(), all.get(), class_name(id), reinterpret_cast<PyObject*>(type))) return nullptr;
    }
    const PyRef module_name = PyRef::steal(PyUnicode_FromString("orvane_video"));
    const PyRef function = PyRef::steal(PyCFunction_NewEx(&kH264Encoder, module.get(), module_name.get()));
    if (!function || !add_name(module.get(), all.get(), "h264_encoder", function.get())) return nullptr;

    g_module = PyRef::borrow(module.get()).release();
    return module.release();
}

}  // namespace
}  // namespace ov::py

PyMODINIT_FUNC PyInit_orvane_video() {
    using namespace ov::py;
    return guarded([]() -> PyObject* {
        const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id < 0) return nullptr;
        int64_t expected = -1;
        if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
            PyErr_SetString(PyExc_ImportError,
                            "orvane_video does not support sub-interpreters: it is already loaded in another "
                            "interpreter of this process");
            return nullptr;
        }
        if (g_module != nullptr) return PyRef::borrow(g_module).release();
        return create_module();
    });
}
