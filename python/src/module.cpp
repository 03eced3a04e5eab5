// SPDX-License-Identifier: LGPL-2.1-or-later
// _qport, the compiled part of the Python package qport: the eleven entry
// points, the access status and the notice presenter, on whichever
// libqport.so.1 the loader picked. The package (python/qport) builds its
// Python types (Access, ParportRoute, ...) on the plain values given here.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <unistd.h>

#include <pybind11/pybind11.h>

#include "qport.h"
#include "qport_ext.h"

#include "bindings.h"

namespace qport_python {
namespace {

// The Python callable shown notices; empty for the library's own presenter.
// A bare handle holding its own reference, so that nothing is released after
// the interpreter is gone; touched only with the GIL held.
py::handle python_presenter;
// Whether there is one, for a look without the GIL.
std::atomic<bool> python_presenter_installed{false};

// Installs presenter (None for the library's own) and returns the one it
// replaces, None for the library's own.
py::object replace_presenter(py::object presenter)
{
    auto previous = python_presenter ? py::reinterpret_steal<py::object>(python_presenter)
                                     : py::object(py::none());
    python_presenter = presenter.is_none() ? py::handle() : presenter.release();
    python_presenter_installed = static_cast<bool>(python_presenter);
    return previous;
}

int presenter_answer(const py::object &answer)
{
    // A presenter that returns nothing showed the notice; False or 0 says it
    // could not.
    if (answer.is_none())
        return 1;
    const int truth = PyObject_IsTrue(answer.ptr());
    if (truth < 0)
        throw py::error_already_set();
    return truth;
}

// Once the interpreter is being finalised, a thread that gave up the GIL
// must not take it back: the interpreter would end the thread inside the
// taking, and its thread state may already be gone.
bool interpreter_finalizing()
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// A thread that may no longer take the GIL back waits for the process to
// end, as newer interpreters make such threads wait. Ending it instead would
// unwind through whatever called the library, which need not expect that.
[[noreturn]] void wait_for_the_process_to_end()
{
    for (;;)
        ::pause();
}

// The library's own presenter may wait for Enter: other Python threads run
// meanwhile. The GIL is handled by hand, not by guards: a thread cancelled
// while it waits unwinds from here without the GIL, and leaves it free.
int show_in_library(const char *title, const char *text)
{
    // Only the thread finalising the interpreter holds the GIL then, and no
    // other Python thread may run while it waits.
    if (interpreter_finalizing() || PyGILState_Check() != 1)
        return qport_default_presenter(title, text, nullptr);
    PyThreadState *const thread = PyEval_SaveThread();
    const int shown = qport_default_presenter(title, text, nullptr);
    // Finalisation began while this thread waited: a daemon thread whose
    // notice outlived the program.
    if (interpreter_finalizing())
        wait_for_the_process_to_end();
    PyEval_RestoreThread(thread);
    return shown;
}

// With the GIL held. The references are bare, not py::object: should the
// interpreter end this thread inside the call (a daemon thread running the
// presenter at finalisation), the unwinding runs without the GIL and must
// release nothing.
int show_in_python(const char *title, const char *text)
{
    PyObject *const presenter = python_presenter.ptr();
    if (presenter == nullptr)
        return show_in_library(title, text);
    // Our own reference: the presenter may install another while it runs.
    Py_INCREF(presenter);
    PyObject *const title_text = PyUnicode_DecodeFSDefault(title);
    PyObject *const notice_text = PyUnicode_DecodeFSDefault(text);
    PyObject *const answer =
        title_text != nullptr && notice_text != nullptr
            ? PyObject_CallFunctionObjArgs(presenter, title_text, notice_text, nullptr)
            : nullptr;
    Py_XDECREF(notice_text);
    Py_XDECREF(title_text);
    Py_DECREF(presenter);
    if (answer == nullptr)
        throw py::error_already_set();
    return presenter_answer(py::reinterpret_steal<py::object>(answer));
}

int show_or_report(const char *title, const char *text)
{
    try {
        return show_in_python(title, text);
    } catch (py::error_already_set &error) {
        LibraryCall::report(std::move(error));
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        LibraryCall::report(py::error_already_set());
    }
    return 0;
}

// The library's presenter for as long as the interpreter runs. It may be
// called from any thread, Python's or not. Nothing may escape it into the
// library but a thread's forced unwinding (its cancellation, or its end by
// the interpreter at finalisation), which must go on to end the thread.
int present(const char *title, const char *text, void * /*user_data*/)
{
    // Without a Python presenter a thread of another library never waits
    // for the GIL, which a Python thread waiting for it may hold; nor once
    // finalisation has begun, when taking it would end the thread.
    if (!python_presenter_installed || interpreter_finalizing())
        return show_in_library(title, text);
    const PyGILState_STATE gil = PyGILState_Ensure();
    int shown = 0;
    try {
        shown = show_or_report(title, text);
    } catch (const std::exception &) {
        // Only reporting the presenter's error can fail (no memory, say):
        // the notice counts as not shown. A forced unwinding is no
        // std::exception: it passes, and leaves the GIL alone, which the
        // interpreter let go of before the thread's end, as it does around
        // every wait a cancellation can end.
    }
    PyGILState_Release(gil);
    return shown;
}

// Before the interpreter goes, the library gets its own presenter back: a
// notice shown after that (from a thread that outlives Python) must not
// call into it.
void restore_library_presenter()
{
    qport_set_presenter(nullptr, nullptr);
    replace_presenter(py::none());
}

// The library's names of the causes ("no-privilege", ...), in the order of
// their values: the package's Access is made from them.
py::list access_causes()
{
    py::list names;
    for (int cause = 0;; ++cause) {
        const char *name = qport_access_name(static_cast<qport_access>(cause));
        if (name == nullptr)
            break;
        names.append(name);
    }
    return names;
}

void bind_transfers(py::module_ &module)
{
    // Results are ints sign-extended from their width, as the C++ entry
    // points give them.
    module.def(
        "inport", [](Port port) { return call_library([&] { return inport(port.value); }); },
        py::arg("port"), "One 32-bit read from port; -2**31..2**31-1.");
    module.def(
        "inportw",
        [](Port port) {
            return call_library([&] { return static_cast<int>(inportw(port.value)); });
        },
        py::arg("port"), "One 16-bit read from port; -32768..32767.");
    module.def(
        "inportb",
        [](Port port) {
            return call_library([&] { return static_cast<int>(inportb(port.value)); });
        },
        py::arg("port"), "One 8-bit read from port; -128..127.");
    module.def(
        "outport",
        [](Port port, Value32 value) { call_library([&] { outport(port.value, value.value); }); },
        py::arg("port"), py::arg("value"),
        "One 32-bit write of value: 0..0xFFFFFFFF, or -2**31..-1 for the upper half.");
    module.def(
        "outportw",
        [](Port port, Value16 value) { call_library([&] { outportw(port.value, value.value); }); },
        py::arg("port"), py::arg("value"),
        "One 16-bit write of value: 0..0xFFFF, or -32768..-1 for the upper half.");
    module.def(
        "outportb",
        [](Port port, Value8 value) { call_library([&] { outportb(port.value, value.value); }); },
        py::arg("port"), py::arg("value"),
        "One 8-bit write of value: 0..0xFF, or -128..-1 for the upper half.");
}

void bind_notices(py::module_ &module)
{
    module.def(
        "Message", [] { return call_library([] { return Message(); }); },
        "Shows the notice \"DLL successfully called.\"; 1 once dismissed, 0 if it could not "
        "be shown.");
    module.def(
        "Error1", [] { return call_library([] { return Error1(); }); },
        "Shows the notice \"This function is unavailable in this release.\"; 1 once "
        "dismissed, 0 if it could not be shown.");
    module.def(
        "inpb", [](Port port) { return call_library([&] { return inpb(port.value); }); },
        py::arg("port"), "Withheld: an 8-bit read of port, then the Error1 notice; returns 0.");
    module.def(
        "inpw", [](Port port) { return call_library([&] { return inpw(port.value); }); },
        py::arg("port"), "Withheld: a 16-bit read of port, then the Error1 notice; returns 0.");
    module.def(
        "outpb",
        [](Port port, Value8 value) {
            return call_library([&] { return outpb(port.value, value.value); });
        },
        py::arg("port"), py::arg("value"),
        "Withheld: an 8-bit write of value to port, then the Error1 notice; returns its "
        "answer.");
    module.def(
        "show_notice",
        [](const std::string &title, const std::string &text) {
            return call_library([&] { return qport_show_notice(title.c_str(), text.c_str()); });
        },
        py::arg("title"), py::arg("text"),
        "Shows a notice of the program's own through the installed presenter, as the library\n"
        "shows its own; 1 once dismissed, 0 if it could not be shown.");
    module.def(
        "set_presenter",
        [](py::object presenter) { return replace_presenter(std::move(presenter)); },
        py::arg("presenter"),
        "Shows every notice of the library (from any thread) through presenter(title, text),\n"
        "or through the library's own presenter (standard error, waiting for Enter on a\n"
        "terminal) with None. Returns the presenter it replaces.\n\n"
        "presenter returns False if it could not show the notice; anything else, None too,\n"
        "means it was shown and dismissed. An exception it raises is raised from the qport\n"
        "call that showed the notice, or, where the notice came from outside Python, reported\n"
        "through sys.unraisablehook.");
}

py::list parport_routes()
{
    // Taken as the library counts them now: what fits, should one appear.
    std::vector<qport_parport_route> routes(qport_parport_routes(nullptr, 0));
    routes.resize(std::min(routes.size(), qport_parport_routes(routes.data(), routes.size())));
    py::list found;
    for (const auto &route : routes) {
        // Never read past the field, even should it lack its NUL.
        const auto device = py::reinterpret_steal<py::str>(PyUnicode_DecodeFSDefaultAndSize(
            route.device, static_cast<Py_ssize_t>(::strnlen(route.device, sizeof route.device))));
        if (!device)
            throw py::error_already_set();
        found.append(py::make_tuple(route.first_port, route.last_port, device));
    }
    return found;
}

void bind_access(py::module_ &module)
{
    module.def(
        "access_status", [] { return static_cast<int>(qport_access_status()); },
        "The calling thread's port access, as the number of an Access. Never blocks.");
    module.def(
        "direct_access_status", [] { return static_cast<int>(qport_direct_access_status()); },
        "Direct access to all ports, as the number of an Access.");
    module.def(
        "access_errno", [] { return qport_access_errno(); },
        "The errno of the refused access request (EPERM, ENOSYS, ...), also behind\n"
        "Access.PARPORT_ONLY; 0 when granted.");
    module.def(
        "access_message", [] { return text_from_library(qport_access_message()); },
        "For the user: what was refused, why and how to fix it; a short confirmation when "
        "granted.");
    module.def("parport_routes", &parport_routes,
               "The parallel ports the calling thread reaches without root, as (first_port,\n"
               "last_port, device) tuples. The first call opens their devices, close-on-exec.");
    module.def(
        "parport_reaches",
        [](Port port, unsigned width) {
            return qport_parport_reaches(static_cast<unsigned short>(port.value), width) != 0;
        },
        py::arg("port"), py::arg("width") = 8,
        "Whether a transfer of width bits (8, 16 or 32) at port goes through a parallel port\n"
        "route for the calling thread: its data, status and control registers at 8 bits, and\n"
        "on a port with EPP its EPP address register at 8 bits and data registers at any\n"
        "width within them. False unless access_status() is Access.PARPORT_ONLY.");
    module.def(
        "drop_access",
        [] {
            if (qport_drop_access() != 0) {
                PyErr_SetFromErrno(PyExc_OSError);
                throw py::error_already_set();
            }
        },
        "Gives up the calling thread's port access for good; needs no privilege. The\n"
        "permission survives exec: call it before running other programs (in the child,\n"
        "e.g. subprocess's preexec_fn). Raises OSError if the kernel would not clear it.");
    module.def(
        "backend", [] { return text_from_library(qport_backend()); },
        "\"hardware\" for the build that executes port instructions, \"simulated\" for the\n"
        "in-memory port space.");
}

} // namespace

thread_local LibraryCall *LibraryCall::current_ = nullptr;

void LibraryCall::report(py::error_already_set error)
{
    if (current_ != nullptr && !current_->kept_error_) {
        current_->kept_error_.emplace(std::move(error));
        return;
    }
    error.discard_as_unraisable("the qport notice presenter");
}

void LibraryCall::raise_kept_error()
{
    if (kept_error_) {
        py::error_already_set error = std::move(*kept_error_);
        kept_error_.reset();
        throw error;
    }
}

py::str text_from_library(const char *text)
{
    return py::reinterpret_steal<py::str>(PyUnicode_DecodeFSDefault(text));
}

} // namespace qport_python

PYBIND11_MODULE(_qport, module)
{
    using namespace qport_python;
    module.doc() = "The compiled part of the package qport: import qport, not this.";
    module.attr("REFUSED_READ") = QPORT_REFUSED_READ;
    module.def("access_causes", &access_causes,
               "The library's names of the access causes, in the order of their values.");
    bind_transfers(module);
    bind_notices(module);
    bind_access(module);
    bind_simulated_ports(module);

    qport_set_presenter(present, nullptr);
    py::module_::import("atexit").attr("register")(py::cpp_function(restore_library_presenter));
}
