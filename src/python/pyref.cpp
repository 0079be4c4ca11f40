#include "python/pyref.hpp"

namespace ov::py {

#if PY_VERSION_HEX >= 0x030C0000
PendingErrorGuard::PendingErrorGuard() : exception_(PyErr_GetRaisedException()) {}
PendingErrorGuard::~PendingErrorGuard() {
    if (exception_ != nullptr) PyErr_SetRaisedException(exception_);
}
#else
PendingErrorGuard::PendingErrorGuard() { PyErr_Fetch(&type_, &value_, &traceback_); }
PendingErrorGuard::~PendingErrorGuard() {
    if (type_ != nullptr) PyErr_Restore(type_, value_, traceback_);
}
#endif

}  // namespace ov::py
