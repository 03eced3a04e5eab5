// SPDX-License-Identifier: LGPL-2.1-or-later
// qport.sim: the controls of the simulated port space. Only the simulated
// build of libqport.so.1 exports them, so they are looked up at run time in
// the library the loader picked; on the hardware build qport.sim is None.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <dlfcn.h>

#include <pybind11/pybind11.h>

#include "qport_ext.h"
#include "qport_sim.h"

#include "bindings.h"

namespace qport_python {
namespace {

// The functions of qport_sim.h, typed as it declares them. A call added
// there is one member here, one look_up() in find_simulated_ports() and one
// method.
struct SimulatedPorts {
    decltype(&qport_sim_reset) reset = nullptr;
    decltype(&qport_sim_preset) preset = nullptr;
    decltype(&qport_sim_peek) peek = nullptr;
    decltype(&qport_sim_transfers) transfers = nullptr;
    decltype(&qport_sim_clear_transfers) clear_transfers = nullptr;
    decltype(&qport_sim_trace_to) trace_to = nullptr;
    decltype(&qport_sim_refuse) refuse = nullptr;
    py::object transfer_type;
    py::object access_enum;
};

template <typename Function> bool look_up(void *library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

// The simulated build's controls, or nothing on another build.
std::optional<SimulatedPorts> find_simulated_ports()
{
    // The library this module is bound to: the one that holds qport_backend.
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void *>(&qport_backend), &info) == 0)
        return std::nullopt;
    void *library = ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr)
        return std::nullopt;
    SimulatedPorts ports;
    const bool complete = look_up(library, "qport_sim_reset", ports.reset) &&
                          look_up(library, "qport_sim_preset", ports.preset) &&
                          look_up(library, "qport_sim_peek", ports.peek) &&
                          look_up(library, "qport_sim_transfers", ports.transfers) &&
                          look_up(library, "qport_sim_clear_transfers", ports.clear_transfers) &&
                          look_up(library, "qport_sim_trace_to", ports.trace_to) &&
                          look_up(library, "qport_sim_refuse", ports.refuse);
    // The handle stays open: the library is this module's own dependency.
    if (!complete)
        return std::nullopt;
    return ports;
}

py::list recorded_transfers(const SimulatedPorts &ports)
{
    // Other threads may transfer meanwhile: take what fits, oldest first.
    std::vector<qport_sim_transfer> records(ports.transfers(nullptr, 0));
    records.resize(std::min(records.size(), ports.transfers(records.data(), records.size())));
    py::list transfers;
    for (const auto &record : records)
        transfers.append(ports.transfer_type(record.time_ns, record.direction == 'i' ? "in" : "out",
                                             record.width_bits, record.port, record.value));
    return transfers;
}

void trace_to(const SimulatedPorts &ports, const py::object &destination)
{
    if (destination.is_none()) {
        ports.trace_to(nullptr);
        return;
    }
    // A str, bytes or path-like, as open() takes it.
    PyObject *encoded = nullptr;
    if (PyUnicode_FSConverter(destination.ptr(), &encoded) == 0)
        throw py::error_already_set();
    const auto path = py::reinterpret_steal<py::bytes>(encoded);
    if (ports.trace_to(PyBytes_AsString(path.ptr())) != 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, destination.ptr());
        throw py::error_already_set();
    }
}

void refuse(const SimulatedPorts &ports, const py::object &cause)
{
    // Only a cause the library knows: Access(cause) raises ValueError otherwise.
    const int number = ports.access_enum(cause).cast<int>();
    // No kernel answers that: it is the hardware build's way round a refusal,
    // and on this build it would send transfers to the real /dev/parportN.
    if (number == QPORT_ACCESS_PARPORT_ONLY)
        throw py::value_error("Access.PARPORT_ONLY is no refusal the kernel gives; "
                              "refuse with NO_PRIVILEGE instead");
    ports.refuse(static_cast<qport_access>(number));
}

py::object make_transfer_type(const py::module_ &module)
{
    py::object transfer =
        py::module_::import("collections")
            .attr("namedtuple")("Transfer", "time_ns direction width_bits port value",
                                py::arg("module") = "qport");
    transfer.attr("__doc__") =
        "One transfer that reached the simulated port space: CLOCK_MONOTONIC time in ns,\n"
        "direction 'in' or 'out', width_bits 8, 16 or 32, port 0..0xFFFF and the value\n"
        "as an unsigned int (zero-extended, unlike the sign-extended reads).";
    module.attr("Transfer") = transfer;
    return transfer;
}

} // namespace

void bind_simulated_ports(py::module_ &module, const py::object &access_enum)
{
    const py::object transfer_type = make_transfer_type(module);
    py::class_<SimulatedPorts>(module, "SimulatedPorts",
                               "The simulated port space's controls: qport.sim on the simulated "
                               "build.")
        .def(
            "reset", [](const SimulatedPorts &ports) { ports.reset(); },
            "Every port back to its reset value, presets removed, the record cleared; the "
            "trace destination is kept.")
        .def(
            "preset",
            [](const SimulatedPorts &ports, Port port, Value8 value) {
                ports.preset(static_cast<std::uint16_t>(port.value),
                             static_cast<std::uint8_t>(value.value));
            },
            py::arg("port"), py::arg("value"),
            "Makes port hold value (0..0xFF, or -128..-1) without a recorded transfer; the "
            "status register and unbacked ports then read it.")
        .def(
            "peek",
            [](const SimulatedPorts &ports, Port port) {
                return static_cast<int>(ports.peek(static_cast<std::uint16_t>(port.value)));
            },
            py::arg("port"),
            "What an 8-bit read of port would give now, 0..0xFF, without recording a "
            "transfer.")
        .def("transfers", &recorded_transfers,
             "The recorded transfers, oldest first, as a list of Transfer (the newest "
             "65536 are kept).")
        .def(
            "clear_transfers", [](const SimulatedPorts &ports) { ports.clear_transfers(); },
            "Forgets the recorded transfers.")
        .def("trace_to", &trace_to, py::arg("destination"),
             "Writes a trace line per transfer to destination from now on: \"stderr\", a file "
             "path (appended to), or None to stop. Raises OSError if the file cannot be "
             "opened.")
        .def("refuse", &refuse, py::arg("cause"),
             "Behaves from now on as if the kernel had refused port access for cause (an "
             "Access); Access.GRANTED gives access back. PARPORT_ONLY is no refusal: "
             "ValueError.");

    auto ports = find_simulated_ports();
    if (!ports) {
        module.attr("sim") = py::none();
        return;
    }
    ports->transfer_type = transfer_type;
    ports->access_enum = access_enum;
    module.attr("sim") = py::cast(std::move(*ports));
}

} // namespace qport_python
