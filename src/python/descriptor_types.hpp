#pragma once

// Src and Sink: immutable descriptors made by static constructors only.

#include "core/sink.hpp"
#include "core/source.hpp"
#include "python/classes.hpp"

namespace ov::py {

inline PyObject* make_src(SourceKind value) { return make_instance(ClassId::Src, std::move(value)); }
inline PyObject* make_sink(SinkKind value) { return make_instance(ClassId::Sink, std::move(value)); }

}  // namespace ov::py
