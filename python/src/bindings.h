// SPDX-License-Identifier: LGPL-2.1-or-later
// What the parts of the compiled module _qport share: the integer arguments the
// library takes, checked on the way in, and the calls into the library that
// carry a presenter's exception back to the Python caller.
#ifndef QPORT_PYTHON_BINDINGS_H
#define QPORT_PYTHON_BINDINGS_H

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

namespace qport_python {

namespace py = pybind11;

enum class Meaning : std::uint8_t { port, value };

// An integer of Bits bits for the library: a Python int (or anything with
// __index__) from the signed minimum to the unsigned maximum of Bits bits,
// handed on as Target with the same bits. Anything else is a ValueError, so
// no caller ever gets a silently truncated number.
template <typename Target, unsigned Bits, Meaning What> struct BitsArgument {
    static constexpr long long lowest = -(1LL << (Bits - 1));
    static constexpr long long highest = (1LL << Bits) - 1;
    Target value{};
};

using Port = BitsArgument<short, 16, Meaning::port>;
using Value8 = BitsArgument<char, 8, Meaning::value>;
using Value16 = BitsArgument<short, 16, Meaning::value>;
using Value32 = BitsArgument<int, 32, Meaning::value>;

// Text (notice titles, access messages) may hold a program path in any
// bytes; decoded as the file system's names are, it never fails.
py::str text_from_library(const char *text);

// One call from Python into the library. A presenter that raises while the
// call shows a notice has its exception kept here and raised from the call
// once the library returns, since it cannot cross the library's frames.
class LibraryCall {
public:
    LibraryCall() : outer_(current_) { current_ = this; }
    ~LibraryCall() { current_ = outer_; }
    LibraryCall(const LibraryCall &) = delete;
    LibraryCall &operator=(const LibraryCall &) = delete;

    // Keeps the first error of this call; a later one is reported through
    // sys.unraisablehook. Outside any call, every error goes there.
    static void report(py::error_already_set error);

    // Raises the kept error, if any.
    void raise_kept_error();

private:
    static thread_local LibraryCall *current_;
    LibraryCall *outer_;
    std::optional<py::error_already_set> kept_error_;
};

template <typename Function> auto call_library(Function &&function)
{
    LibraryCall call;
    if constexpr (std::is_void_v<decltype(function())>) {
        std::forward<Function>(function)();
        call.raise_kept_error();
    } else {
        auto result = std::forward<Function>(function)();
        call.raise_kept_error();
        return result;
    }
}

// Makes module.sim the simulated port space's controls when the loaded
// libqport.so.1 is the simulated build, None otherwise.
void bind_simulated_ports(py::module_ &module);

} // namespace qport_python

namespace pybind11::detail {

template <typename Target, unsigned Bits, qport_python::Meaning What>
struct type_caster<qport_python::BitsArgument<Target, Bits, What>> {
    using Argument = qport_python::BitsArgument<Target, Bits, What>;
    PYBIND11_TYPE_CASTER(Argument, const_name("int"));

    bool load(handle source, bool /*convert*/)
    {
        // A float or a str is a TypeError, as for any Python function that
        // takes an int.
        const auto number = reinterpret_steal<object>(PyNumber_Index(source.ptr()));
        if (!number) {
            PyErr_Clear();
            return false;
        }
        int overflow = 0;
        const long long wide = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
        if (overflow != 0 || wide < Argument::lowest || wide > Argument::highest)
            throw value_error(out_of_range(number));
        using Bits_t = std::make_unsigned_t<Target>;
        value.value = static_cast<Target>(static_cast<Bits_t>(wide));
        return true;
    }

private:
    static std::string out_of_range(const object &number)
    {
        if constexpr (What == qport_python::Meaning::port)
            return "port " +
                   str(module_::import("builtins").attr("hex")(number)).cast<std::string>() +
                   " is out of range: ports are 0..0xFFFF, or -0x8000..-1 for 0x8000..0xFFFF";
        const auto bits = std::to_string(Bits);
        return "value " + str(number).cast<std::string>() + " does not fit in " + bits +
               " bits: give 0.." + std::to_string(Argument::highest) + ", or " +
               std::to_string(Argument::lowest) + "..-1 for the upper half";
    }
};

} // namespace pybind11::detail

#endif
