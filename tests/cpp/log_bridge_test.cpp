// The bridge from the engine's log facade to Python's logging, in an embedded
// interpreter, so records can come from threads that Python never saw.

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "core/log.hpp"
#include "python/log_bridge.hpp"

namespace ov::py {
namespace {

constexpr const char* kSetup = R"(
import logging
records = []

class Collect(logging.Handler):
    def emit(self, record):
        records.append((record.name, record.levelno, record.pathname, record.lineno, record.getMessage()))

class Explode(logging.Handler):
    def emit(self, record):
        raise RuntimeError("handler failed")

logging.getLogger("orvane_video").addHandler(Collect())
logging.getLogger("orvane_video").setLevel(logging.DEBUG)
logging.getLogger("orvane_video.whip").addHandler(Explode())
logging.getLogger("orvane_video.pipeline").setLevel(logging.WARNING)
)";

class LogBridgeTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        Py_InitializeEx(0);
        ASSERT_EQ(PyRun_SimpleString(kSetup), 0);
        install_log_bridge(PyRef::steal(PyImport_ImportModule("logging")));
    }

    void SetUp() override { ASSERT_EQ(PyRun_SimpleString("records.clear()"), 0); }

    // (name, level, path, line, message) of every record collected so far.
    static PyRef records() {
        PyObject* main = PyImport_AddModule("__main__");
        return PyRef::borrow(PyObject_GetAttrString(main, "records"));
    }

    static std::string field(PyObject* record, Py_ssize_t index) {
        PyObject* value = PyTuple_GetItem(record, index);
        if (PyLong_Check(value)) return std::to_string(PyLong_AsLong(value));
        return PyUnicode_AsUTF8(value);
    }

    template <class F>
    static void on_foreign_thread(F&& body) {
        PyThreadState* state = PyEval_SaveThread();
        std::thread(std::forward<F>(body)).join();
        PyEval_RestoreThread(state);
    }
};

TEST_F(LogBridgeTest, RecordFromAForeignThreadKeepsNameLevelFileAndLine) {
    unsigned line = 0;
    on_foreign_thread([&] {
        line = __LINE__ + 1;
        OV_WARN(log::kStream, "[stream] from a thread of {}", "ours");
    });
    const PyRef list = records();
    ASSERT_EQ(PyList_Size(list.get()), 1);
    PyObject* record = PyList_GetItem(list.get(), 0);
    EXPECT_EQ(field(record, 0), "orvane_video.stream");
    EXPECT_EQ(field(record, 1), "30");
    EXPECT_TRUE(field(record, 2).ends_with("log_bridge_test.cpp"));
    EXPECT_EQ(field(record, 3), std::to_string(line));
    EXPECT_EQ(field(record, 4), "[stream] from a thread of ours");
}

TEST_F(LogBridgeTest, RaisingHandlerNeitherEscapesNorClobbersAPendingError) {
    on_foreign_thread([] { OV_ERROR(log::kWhip, "[WHIP] lost"); });
    PyErr_SetString(PyExc_KeyError, "pending before logging");
    OV_ERROR(log::kWhip, "[WHIP] lost again");
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_KeyError));
    PyErr_Clear();
    // The failing handler stopped both records before the collecting one; the
    // bridge itself carries on.
    on_foreign_thread([] { OV_WARN(log::kStream, "after the failures"); });
    const PyRef list = records();
    ASSERT_EQ(PyList_Size(list.get()), 1);
    EXPECT_EQ(field(PyList_GetItem(list.get(), 0), 4), "after the failures");
}

TEST_F(LogBridgeTest, LevelIsReadOnceAtTheFirstRecordOfATarget) {
    OV_INFO(log::kPipeline, "below warning: dropped");
    OV_WARN(log::kPipeline, "first forwarded");
    ASSERT_EQ(PyRun_SimpleString("logging.getLogger('orvane_video.pipeline').setLevel(logging.DEBUG)"), 0);
    on_foreign_thread([] { OV_DEBUG(log::kPipeline, "still dropped: the level was cached"); });
    const PyRef list = records();
    ASSERT_EQ(PyList_Size(list.get()), 1);
    EXPECT_EQ(field(PyList_GetItem(list.get(), 0), 4), "first forwarded");
}

TEST_F(LogBridgeTest, TraceNeverReachesPython) {
    on_foreign_thread([] { OV_LOG(log::Level::Trace, log::kStream, "trace"); });
    EXPECT_EQ(PyList_Size(records().get()), 0);
}

}  // namespace
}  // namespace ov::py
