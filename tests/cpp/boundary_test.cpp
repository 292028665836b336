// The module's runtime at the interpreter boundary, driven inside an
// embedded interpreter: error values, panics, detach, deferred release and
// once-only cells.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "attach.h"
#include "error.h"
#include "frame.h"
#include "once_cell.h"
#include "references.h"

using namespace quorlix;

namespace {

class Interpreter : public ::testing::Environment {
public:
    void SetUp() override { Py_InitializeEx(0); }
};

const auto* const ENV = ::testing::AddGlobalTestEnvironment(new Interpreter);

// Runs body through a call frame as the interpreter would, returning the
// raised exception (or nullptr) and the result.
struct Call {
    PyObject* result;
    Owned exc;
};

template <class F>
Call call(F&& body) {
    PyObject* r = trampoline(std::forward<F>(body));
    return {r, Owned(compat::get_raised_exception())};
}

std::string str_of(PyObject* obj) { return python_format(obj); }

Owned eval(const char* expr) {
    Owned globals(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    Owned r(PyRun_String(expr, Py_eval_input, globals.get(), globals.get()));
    if (!r) PyErr_Print();
    return r;
}

}  // namespace

TEST(Frame, ErrorValueBecomesTheException) {
    ASSERT_EQ(ATTACH_COUNT, 0);
    auto c = call([]() -> PyResult<PyObject*> { return Err{PyErr::value_error("bad value")}; });
    EXPECT_EQ(c.result, nullptr);
    ASSERT_TRUE(c.exc);
    EXPECT_EQ(type_object(c.exc.get()), PyExc_ValueError);
    EXPECT_EQ(str_of(c.exc.get()), "bad value");
    EXPECT_EQ(ATTACH_COUNT, 0);
}

TEST(Frame, PanicBecomesPanicException) {
    auto c = call([]() -> PyResult<PyObject*> { panic("it broke"); });
    ASSERT_TRUE(c.exc);
    PyObject* cls = type_object(c.exc.get());
    EXPECT_EQ(cls, panic_exception_type());
    EXPECT_FALSE(PyErr_GivenExceptionMatches(cls, PyExc_Exception));
    EXPECT_TRUE(PyErr_GivenExceptionMatches(cls, PyExc_BaseException));
    Owned args(PyObject_GetAttrString(c.exc.get(), "args"));
    ASSERT_EQ(PyTuple_Size(args.get()), 1);
    EXPECT_EQ(str_of(PyTuple_GetItem(args.get(), 0)), "it broke");
    EXPECT_EQ(ATTACH_COUNT, 0);
}

TEST(Frame, PanicWhileRaisingTheErrorBecomesPanicException) {
    // A message that is not UTF-8 cannot become a str: raising the error
    // panics, and the frame raises that panic instead of ending the process.
    for (auto make : {PyErr::value_error, PyErr::type_error, PyErr::system_error}) {
        auto c = call([make]() -> PyResult<PyObject*> { return Err{make("bad \xff byte")}; });
        EXPECT_EQ(c.result, nullptr);
        ASSERT_TRUE(c.exc);
        EXPECT_EQ(type_object(c.exc.get()), panic_exception_type());
        EXPECT_EQ(str_of(c.exc.get()), "Python API call failed");
        EXPECT_FALSE(PyErr_Occurred());
        EXPECT_EQ(ATTACH_COUNT, 0);
    }
}

TEST(Frame, SuccessReturnsTheObject) {
    auto c = call([]() -> PyResult<PyObject*> { return PyLong_FromLong(42); });
    ASSERT_NE(c.result, nullptr);
    EXPECT_FALSE(c.exc);
    EXPECT_EQ(PyLong_AsLong(c.result), 42);
    _Py_DecRef(c.result);
}

TEST(FrameDeath, EscapingExceptionHitsTheTrap) {
    EXPECT_DEATH(call([]() -> PyResult<PyObject*> { throw 42; }), "uncaught panic at ffi boundary");
    EXPECT_DEATH(call([]() -> PyResult<PyObject*> { throw std::bad_alloc(); }),
                 "memory allocation failed");
}

TEST(Detach, PanicInsideRestoresTheAttachedState) {
    auto c = call([]() -> PyResult<PyObject*> {
        const int64_t before = ATTACH_COUNT;
        EXPECT_EQ(before, 1);
        try {
            detach([] {
                EXPECT_EQ(ATTACH_COUNT, 0);
                EXPECT_FALSE(PyGILState_Check());
                panic("inside detach");
            });
        } catch (const Panic& p) {
            EXPECT_EQ(p.message, "inside detach");
            EXPECT_EQ(ATTACH_COUNT, before);
            EXPECT_TRUE(PyGILState_Check());
            throw;
        }
        return nullptr;
    });
    ASSERT_TRUE(c.exc);
    EXPECT_EQ(type_object(c.exc.get()), panic_exception_type());
    EXPECT_EQ(str_of(c.exc.get()), "inside detach");
    EXPECT_EQ(ATTACH_COUNT, 0);
    // The next call works normally: it detaches again and makes an object.
    auto next = call([]() -> PyResult<PyObject*> {
        const long v = detach([] { return 41L; });
        return PyLong_FromLong(v + 1);
    });
    EXPECT_FALSE(next.exc);
    ASSERT_NE(next.result, nullptr);
    EXPECT_EQ(PyLong_AsLong(next.result), 42);
    _Py_DecRef(next.result);
    EXPECT_EQ(ATTACH_COUNT, 0);
}

TEST(Detach, ReleaseWhileDetachedIsDeferredUntilReattach) {
    call([]() -> PyResult<PyObject*> {
        Owned list(PyList_New(0));
        _Py_IncRef(list.get());
        const Py_ssize_t before = Py_REFCNT(list.get());
        PyObject* extra = list.get();
        detach([extra] { register_decref(extra); });
        // detach drained the queue on the way back.
        EXPECT_EQ(Py_REFCNT(list.get()), before - 1);

        _Py_IncRef(list.get());
        int64_t saved = ATTACH_COUNT;
        ATTACH_COUNT = 0;
        register_decref(extra);
        EXPECT_EQ(Py_REFCNT(list.get()), before);  // queued, not dropped
        ATTACH_COUNT = saved;
        drop_deferred_references();
        EXPECT_EQ(Py_REFCNT(list.get()), before - 1);
        return Err{PyErr::value_error("done")};
    });
}

TEST(Errors, FetchWithoutPendingIsSystemError) {
    auto c = call([]() -> PyResult<PyObject*> {
        EXPECT_FALSE(take().has_value());
        return Err{fetch()};
    });
    EXPECT_EQ(type_object(c.exc.get()), PyExc_SystemError);
    EXPECT_EQ(str_of(c.exc.get()), "attempted to fetch exception but none was set");
}

TEST(Errors, DowncastMessageUsesTheQualifiedName) {
    Owned obj = eval(
        "type('Outer', (), {'Inner': type('Inner', (), {'__qualname__': 'Outer.Inner'})}).Inner()");
    ASSERT_TRUE(obj);
    PyObject* raw = obj.get();
    auto c = call([raw]() -> PyResult<PyObject*> { return Err{PyErr::downcast(raw, "PyBytes")}; });
    EXPECT_EQ(str_of(c.exc.get()), "'Outer.Inner' object cannot be converted to 'PyBytes'");
}

TEST(Errors, NormalizingKeepsOneObject) {
    PyErr e = PyErr::type_error("once");
    PyObject* first = e.make_normalized();
    EXPECT_EQ(e.make_normalized(), first);
    EXPECT_EQ(str_of(first), "once");
    EXPECT_NE(e.debug().find("TypeError"), std::string::npos);
}

TEST(Render, LoneSurrogatesBecomeReplacementCharacters) {
    Owned s = eval("'a\\udcffb\\ud800'");
    EXPECT_EQ(python_format(s.get()),
              "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
              "b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(Render, FailingStrFallsBackToTheTypeName) {
    Owned obj = eval("type('Grumpy', (), {'__str__': lambda self: 1/0})()");
    Owned hook = eval("__import__('sys').__dict__.setdefault('unraisable_seen', [])");
    PyObject* sys = PyImport_ImportModule("sys");
    Owned append(PyObject_GetAttrString(hook.get(), "append"));
    PyObject_SetAttrString(sys, "unraisablehook", append.get());
    EXPECT_EQ(python_format(obj.get()), "<unprintable Grumpy object>");
    EXPECT_EQ(PyList_Size(hook.get()), 1);
    EXPECT_FALSE(PyErr_Occurred());
    _Py_DecRef(sys);
}

TEST(OnceCell, FailedInitialiserLetsTheNextCallerTry) {
    static OnceCell<int> cell;
    int runs = 0;
    call([&]() -> PyResult<PyObject*> {
        auto r = cell.init_once_cell_py_attached([&]() -> PyResult<int> {
            runs++;
            return Err{PyErr::value_error("not yet")};
        });
        EXPECT_FALSE(r.ok());
        EXPECT_THROW((void)cell.init_once_cell_py_attached([&]() -> PyResult<int> {
            runs++;
            panic("nor now");
        }),
                     Panic);
        EXPECT_EQ(cell.get(), nullptr);
        auto ok = cell.init_once_cell_py_attached([&]() -> PyResult<int> {
            runs++;
            EXPECT_TRUE(PyGILState_Check());
            EXPECT_EQ(ATTACH_COUNT, 1);
            return 7;
        });
        EXPECT_EQ(*ok.value(), 7);
        auto again = cell.init_once_cell_py_attached([&]() -> PyResult<int> {
            runs++;
            return 8;
        });
        EXPECT_EQ(*again.value(), 7);
        EXPECT_TRUE(PyGILState_Check());
        return Err{PyErr::value_error("done")};
    });
    EXPECT_EQ(runs, 3);
}

TEST(OnceCell, ThreadsWaitWithoutTheLockAndShareOneValue) {
    static OnceCell<int> cell;
    std::atomic<int> runs{0};
    std::vector<int> seen(4, 0);
    PyThreadState* main_state = PyEval_SaveThread();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            PyGILState_STATE g = PyGILState_Ensure();
            call([&]() -> PyResult<PyObject*> {
                auto r = cell.init_once_cell_py_attached([&]() -> PyResult<int> {
                    runs++;
                    // Let the others pile up waiting for the cell.
                    detach([] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
                    return 100;
                });
                seen[size_t(t)] = *r.value();
                return Err{PyErr::value_error("done")};
            });
            PyGILState_Release(g);
        });
    }
    for (auto& th : threads) th.join();
    PyEval_RestoreThread(main_state);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(seen, std::vector<int>(4, 100));
}
