// SPDX-License-Identifier: LGPL-2.1-or-later
// _qport.sim: the controls of the simulated port space, which the package's
// qport.sim wraps. Only the simulated build of libqport.so.1 exports them,
// so they are looked up at run time in the library the loader picked; on
// the hardware build _qport.sim is None.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <poll.h>

#include <pybind11/pybind11.h>

#include "qport_ext.h"
#include "qport_sim.h"

#include "bindings.h"

namespace qport_python {
namespace {

// The devices as Python names them: one line here for a device added to
// qport_sim.h; the package's SimulatedPorts.Device is made from them.
struct DeviceName {
    const char *name;
    qport_sim_device device;
};
constexpr DeviceName device_names[] = {
    {"NONE", QPORT_SIM_DEVICE_NONE},
    {"LOOPBACK", QPORT_SIM_DEVICE_LOOPBACK},
    {"PRINTER", QPORT_SIM_DEVICE_PRINTER},
};

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
    decltype(&qport_sim_record_transfers) record_transfers = nullptr;
    decltype(&qport_sim_set_device) set_device = nullptr;
    decltype(&qport_sim_current_device) current_device = nullptr;
    decltype(&qport_sim_set_printer_output) set_printer_output = nullptr;
    decltype(&qport_sim_printed_bytes) printed_bytes = nullptr;
    decltype(&qport_sim_use_machine) use_machine = nullptr;
    decltype(&qport_sim_machine_path) machine_path = nullptr;
    decltype(&qport_sim_device_properties) device_properties = nullptr;
    decltype(&qport_sim_set_device_property) set_device_property = nullptr;
    decltype(&qport_sim_reset_count) reset_count = nullptr;
    decltype(&qport_sim_last_reset_cause) last_reset_cause = nullptr;
    decltype(&qport_sim_serve_ports) serve_ports = nullptr;
    decltype(&qport_sim_server_fd) server_fd = nullptr;
    decltype(&qport_sim_server_dispatch) server_dispatch = nullptr;
    decltype(&qport_sim_server_close) server_close = nullptr;
    decltype(&qport_sim_list_memories) list_memories = nullptr;
    decltype(&qport_sim_load_memory) load_memory = nullptr;
    decltype(&qport_sim_save_memory) save_memory = nullptr;
    decltype(&qport_sim_describe_machine) describe_machine = nullptr;
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
    const bool complete =
        look_up(library, "qport_sim_reset", ports.reset) &&
        look_up(library, "qport_sim_preset", ports.preset) &&
        look_up(library, "qport_sim_peek", ports.peek) &&
        look_up(library, "qport_sim_transfers", ports.transfers) &&
        look_up(library, "qport_sim_clear_transfers", ports.clear_transfers) &&
        look_up(library, "qport_sim_trace_to", ports.trace_to) &&
        look_up(library, "qport_sim_refuse", ports.refuse) &&
        look_up(library, "qport_sim_record_transfers", ports.record_transfers) &&
        look_up(library, "qport_sim_set_device", ports.set_device) &&
        look_up(library, "qport_sim_current_device", ports.current_device) &&
        look_up(library, "qport_sim_set_printer_output", ports.set_printer_output) &&
        look_up(library, "qport_sim_printed_bytes", ports.printed_bytes) &&
        look_up(library, "qport_sim_use_machine", ports.use_machine) &&
        look_up(library, "qport_sim_machine_path", ports.machine_path) &&
        look_up(library, "qport_sim_device_properties", ports.device_properties) &&
        look_up(library, "qport_sim_set_device_property", ports.set_device_property) &&
        look_up(library, "qport_sim_reset_count", ports.reset_count) &&
        look_up(library, "qport_sim_last_reset_cause", ports.last_reset_cause) &&
        look_up(library, "qport_sim_serve_ports", ports.serve_ports) &&
        look_up(library, "qport_sim_server_fd", ports.server_fd) &&
        look_up(library, "qport_sim_server_dispatch", ports.server_dispatch) &&
        look_up(library, "qport_sim_server_close", ports.server_close) &&
        look_up(library, "qport_sim_list_memories", ports.list_memories) &&
        look_up(library, "qport_sim_load_memory", ports.load_memory) &&
        look_up(library, "qport_sim_save_memory", ports.save_memory) &&
        look_up(library, "qport_sim_describe_machine", ports.describe_machine);
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
        transfers.append(py::make_tuple(record.time_ns, record.direction == 'i' ? "in" : "out",
                                        record.width_bits, record.port, record.value));
    return transfers;
}

// Hands path to a library call that takes a file name, or NULL for None: a
// str, bytes or path-like, encoded as open() encodes it. The call's -1
// becomes the OSError of its errno, naming path.
template <typename Call> void call_with_path(Call call, const py::object &path)
{
    std::optional<py::bytes> encoded;
    if (!path.is_none()) {
        PyObject *bytes = nullptr;
        if (PyUnicode_FSConverter(path.ptr(), &bytes) == 0)
            throw py::error_already_set();
        encoded = py::reinterpret_steal<py::bytes>(bytes);
    }
    if (call(encoded ? PyBytes_AsString(encoded->ptr()) : nullptr) != 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        throw py::error_already_set();
    }
}

// False for a cause no kernel gives: the parallel port route or a dropped
// access, which are the library's own states.
bool refuse(const SimulatedPorts &ports, int cause)
{
    return ports.refuse(static_cast<qport_access>(cause)) == 0;
}

void set_device(const SimulatedPorts &ports, int device)
{
    if (ports.set_device(static_cast<qport_sim_device>(device)) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw py::error_already_set();
    }
}

py::dict device_properties(const SimulatedPorts &ports, const std::string &device)
{
    py::dict properties;
    const int result = ports.device_properties(
        device.c_str(),
        [](const char *key, const char *value, void *user_data) {
            (*static_cast<py::dict *>(user_data))[py::str(key)] = py::str(value);
        },
        &properties);
    if (result != 0)
        throw py::key_error("no device named " + device);
    return properties;
}

void set_device_property(const SimulatedPorts &ports, const std::string &device,
                         const std::string &key, const std::string &value)
{
    if (ports.set_device_property(device.c_str(), key.c_str(), value.c_str()) == 0)
        return;
    if (errno == ENOENT)
        throw py::key_error("no device " + device + " with a settable property " + key);
    throw py::value_error(device + " does not take " + key + "=" + value +
                          " (the reason is on standard error)");
}

py::list memories(const SimulatedPorts &ports)
{
    std::vector<qport_sim_memory_info> found(ports.list_memories(nullptr, 0));
    found.resize(std::min(found.size(), ports.list_memories(found.data(), found.size())));
    py::list listed;
    for (const auto &memory : found)
        listed.append(py::make_tuple(text_from_library(memory.name), memory.size));
    return listed;
}

py::object machine_path(const SimulatedPorts &ports)
{
    const char *path = ports.machine_path();
    if (path == nullptr)
        return py::none();
    return text_from_library(path);
}

// The library records only from a program's first qport_sim call; a script
// that transfers first and then looks at qport.sim.transfers() expects its
// transfers there. So the module starts recording when it is loaded, on the
// process's own port space only: a shared machine (QPORT_SIM_MACHINE, which
// the library took when the module loaded it) keeps the setting its users
// gave it, since importing the module must not turn recording on for every
// process using the machine. A new machine file records from its creation.
void start_recording_own_port_space(const SimulatedPorts &ports)
{
    const char *machine = ::secure_getenv("QPORT_SIM_MACHINE");
    if (machine == nullptr || *machine == '\0')
        ports.record_transfers(1);
}

// ---------------------------------------------------------------- serve
// A device written in Python, served to every process on the shared
// machine. Its callables run in the serving thread with the GIL held, from
// qport_sim_server_dispatch; the first exception one raises ends serve().
struct PythonDevice {
    py::object read;
    py::object write;
    std::optional<py::error_already_set> error;
};

std::uint8_t read_from_python(void *user, const qport_sim_port_access *access)
{
    auto &device = *static_cast<PythonDevice *>(user);
    if (device.error)
        return 0xFF;
    try {
        // The package's read checks that the byte is 0..0xFF.
        return device.read(access->port).cast<std::uint8_t>();
    } catch (py::error_already_set &error) {
        device.error = std::move(error);
        return 0xFF;
    }
}

void write_to_python(void *user, const qport_sim_port_access *access, std::uint8_t value)
{
    auto &device = *static_cast<PythonDevice *>(user);
    if (device.error)
        return;
    try {
        device.write(access->port, value);
    } catch (py::error_already_set &error) {
        device.error = std::move(error);
    }
}

[[noreturn]] void raise_errno(int error)
{
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    throw py::error_already_set();
}

// The package's serve() has checked the ports and the callables.
void serve(const SimulatedPorts &ports, int first_port, int count, py::object read,
           py::object write)
{
    PythonDevice served{std::move(read), std::move(write), {}};
    qport_sim_server *server =
        ports.serve_ports(static_cast<std::uint16_t>(first_port), static_cast<std::uint16_t>(count),
                          served.read.is_none() ? nullptr : read_from_python,
                          served.write.is_none() ? nullptr : write_to_python, &served);
    if (server == nullptr) {
        if (errno == EINVAL)
            throw py::value_error("serve() needs a shared machine: set QPORT_SIM_MACHINE, or "
                                  "call qport.sim.use_machine(path) first");
        raise_errno(errno);
    }
    const std::unique_ptr<qport_sim_server, decltype(ports.server_close)> serving(
        server, ports.server_close);
    pollfd waiting{ports.server_fd(server), POLLIN, 0};
    // A signal may be taken by another thread than this one, leaving this
    // poll() uninterrupted: it wakes this often to look for one, so that
    // SIGINT and SIGTERM end serve() at once, not at the next request.
    constexpr int signal_look_ms = 50;
    for (;;) {
        int ready = 0;
        int error = 0;
        {
            const py::gil_scoped_release released;
            ready = ::poll(&waiting, 1, signal_look_ms);
            error = errno;
        }
        if (ready < 0 && error != EINTR)
            raise_errno(error);
        // Ctrl-C, or a handler of the script's, between requests.
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        if (ready > 0 && ports.server_dispatch(server, 0) < 0 && errno != EINTR)
            raise_errno(errno);
        if (served.error)
            throw std::move(*served.error);
    }
}

py::list device_table()
{
    py::list table;
    for (const auto &[name, device] : device_names)
        table.append(py::make_tuple(name, static_cast<int>(device)));
    return table;
}

} // namespace

void bind_simulated_ports(py::module_ &module)
{
    module.def("sim_devices", &device_table,
               "The devices of the simulated parallel port, as (name, number) pairs.");
    py::class_<SimulatedPorts>(module, "SimulatedPorts",
                               "The simulated port space's controls, wrapped by qport.sim.")
        .def(
            "reset", [](const SimulatedPorts &ports) { ports.reset(); },
            "Every port back to its reset value, presets removed, the printer ready and its "
            "count at 0, the record cleared; the device, the printer's output and the trace "
            "destination are kept. On a shared machine, for every process using it.")
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
             "The recorded transfers, oldest first, as (time_ns, direction, width_bits, port, "
             "value) tuples.")
        .def(
            "clear_transfers", [](const SimulatedPorts &ports) { ports.clear_transfers(); },
            "Forgets the recorded transfers.")
        .def(
            "record_transfers",
            [](const SimulatedPorts &ports, bool on) { ports.record_transfers(on ? 1 : 0); },
            py::arg("on"),
            "Records transfers from now on (True) or stops recording them (False), on this "
            "machine: for every process, on a shared one.")
        .def(
            "trace_to",
            [](const SimulatedPorts &ports, const py::object &destination) {
                call_with_path(ports.trace_to, destination);
            },
            py::arg("destination"),
            "Writes a trace line per transfer to destination from now on: \"stderr\", a file "
            "path (appended to), or None to stop. Raises OSError if the file cannot be "
            "opened.")
        .def("refuse", &refuse, py::arg("cause"),
             "Behaves from now on as if the kernel had refused port access for cause (an "
             "Access number); False for a cause no kernel gives.")
        .def("set_device", &set_device, py::arg("device"),
             "Puts device (a Device number) on the parallel port, with the printer ready.")
        .def(
            "current_device",
            [](const SimulatedPorts &ports) { return static_cast<int>(ports.current_device()); },
            "The number of the device on the parallel port.")
        .def(
            "set_printer_output",
            [](const SimulatedPorts &ports, const py::object &path) {
                call_with_path(ports.set_printer_output, path);
            },
            py::arg("path"),
            "Appends the bytes the printer takes to the file at path from now on, or to\n"
            "nowhere for None or \"\" (they are still counted). Stored in a shared machine,\n"
            "for every process using it. Raises OSError if the file cannot be opened, or the\n"
            "path is longer than 255 bytes (ENAMETOOLONG); the output is then unchanged.")
        .def(
            "printed_bytes", [](const SimulatedPorts &ports) { return ports.printed_bytes(); },
            "How many bytes the printer has taken since the last reset.")
        .def(
            "use_machine",
            [](const SimulatedPorts &ports, const py::object &path) {
                call_with_path(ports.use_machine, path);
            },
            py::arg("path"),
            "Acts on the shared machine in the file at path from now on (created with mode\n"
            "0600 if missing), or on this process's own port space again for None. Raises\n"
            "OSError (EINVAL for a file that is no machine of this version; why is on\n"
            "standard error) and keeps the machine in use.")
        .def("memories", &memories,
             "The machine's device memories (an SPI flash's contents) as (name, size) tuples.")
        .def(
            "load_memory",
            [](const SimulatedPorts &ports, const std::string &name, const py::object &path) {
                call_with_path(
                    [&](const char *file) { return ports.load_memory(name.c_str(), file); }, path);
            },
            py::arg("name"), py::arg("path"),
            "Copies the file at path, which must be of the memory's size, into the memory\n"
            "named name. Raises OSError (ENOENT: no such memory; EINVAL: a file of another\n"
            "size).")
        .def(
            "save_memory",
            [](const SimulatedPorts &ports, const std::string &name, const py::object &path) {
                call_with_path(
                    [&](const char *file) { return ports.save_memory(name.c_str(), file); }, path);
            },
            py::arg("name"), py::arg("path"),
            "Copies the memory named name into the file at path (created or truncated, never\n"
            "through a symbolic link). Raises OSError.")
        .def(
            "describe_machine",
            [](const SimulatedPorts &ports, const py::object &path) {
                std::array<char, 512> why{};
                call_with_path(
                    [&](const char *file) {
                        const int result = ports.describe_machine(file, why.data(), why.size());
                        if (result != 0 && errno == EINVAL && why[0] != '\0') {
                            PyErr_SetObject(PyExc_ValueError, py::str(why.data()).ptr());
                            throw py::error_already_set();
                        }
                        return result;
                    },
                    path);
            },
            py::arg("path"),
            "Builds the machine in use anew as the TOML file at path describes it: profile,\n"
            "device properties, presets and memories. Raises ValueError naming the file, line\n"
            "and key of a mistake (the machine is then built up to there), OSError for a file\n"
            "that cannot be read or that another user could have written (EPERM).")
        .def("machine_path", &machine_path,
             "The path of the shared machine in use, or None for the process's own.")
        .def("device_properties", &device_properties, py::arg("device"),
             "The properties of the machine's device named device, as a dict of texts.")
        .def("set_device_property", &set_device_property, py::arg("device"), py::arg("key"),
             py::arg("value"), "Sets a property of a device; KeyError or ValueError if refused.")
        .def(
            "reset_count", [](const SimulatedPorts &ports) { return ports.reset_count(); },
            "How many times programs reset the simulated PC (0xFE to 0x64, 0xCF9, ...).")
        .def(
            "last_reset_cause",
            [](const SimulatedPorts &ports) { return std::string(ports.last_reset_cause()); },
            "What reset it last, or \"none\".")
        .def("serve", &serve, py::arg("first_port"), py::arg("count"), py::arg("read"),
             py::arg("write"),
             "Answers count ports from first_port with read(port) -> 0..0xFF and\n"
             "write(port, value), either of them None, until an exception ends it. The GIL is\n"
             "released while it waits.");

    auto ports = find_simulated_ports();
    if (!ports) {
        module.attr("sim") = py::none();
        return;
    }
    start_recording_own_port_space(*ports);
    module.attr("sim") = py::cast(*ports);
}

} // namespace qport_python
