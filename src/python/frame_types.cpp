#include "python/frame_types.hpp"

#include "python/to_python.hpp"

namespace ov::py {
namespace {

template <class Value>
PyObject* get_data(PyObject* self, void*) {
    return PyRef::borrow(unbox<Value>(self).data.get()).release();
}

template <class Value, auto Member>
PyObject* get_value(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return to_python(unbox<Value>(self).*Member); });
}

PyGetSetDef kFrameFields[] = {
    {"data", get_data<FrameValue>, nullptr, nullptr, nullptr},
    {"width", get_value<FrameValue, &FrameValue::width>, nullptr, nullptr, nullptr},
    {"height", get_value<FrameValue, &FrameValue::height>, nullptr, nullptr, nullptr},
    {"format", get_value<FrameValue, &FrameValue::format>, nullptr, nullptr, nullptr},
    {"timestamp_ns", get_value<FrameValue, &FrameValue::timestamp_ns>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kEncodedFrameFields[] = {
    {"data", get_data<EncodedFrameValue>, nullptr, nullptr, nullptr},
    {"timestamp_ns", get_value<EncodedFrameValue, &EncodedFrameValue::timestamp_ns>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kFrameSlots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<FrameValue>)},
    {Py_tp_getset, kFrameFields},
    {0, nullptr},
};

PyType_Slot kEncodedFrameSlots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<EncodedFrameValue>)},
    {Py_tp_getset, kEncodedFrameFields},
    {0, nullptr},
};

PyType_Spec kFrameSpec = {"builtins.Frame", sizeof(Box<FrameValue>), 0, Py_TPFLAGS_DEFAULT, kFrameSlots};
PyType_Spec kEncodedFrameSpec = {"builtins.EncodedFrame", sizeof(Box<EncodedFrameValue>), 0, Py_TPFLAGS_DEFAULT,
                                 kEncodedFrameSlots};

}  // namespace

PyType_Spec* frame_spec() { return &kFrameSpec; }
PyType_Spec* encoded_frame_spec() { return &kEncodedFrameSpec; }

}  // namespace ov::py
