// SPDX-License-Identifier: LGPL-2.1-or-later
// The simulated port space: a parallel port at 0x378..0x37A with a device
// on it, every other port unbacked, a record of transfers and an optional
// trace. The model is described in qport_sim.h.
//
// A transfer takes no lock and allocates nothing: ports are atomics in a
// constant-initialised (or mapped) machine, and the record is a ring that
// writers claim slots of with one atomic increment. So a transfer is
// async-signal-safe, works in a child forked while other threads transfer,
// and never waits for another thread.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

#include <sched.h>

#include "qport_sim.h"

#include "backend.h"
#include "internal.h"
#include "sim_machine.h"
#include "sim_output.h"

namespace qport::backend {

constinit std::atomic<qport_access> simulated_access{QPORT_ACCESS_GRANTED};

namespace {

using sim::active_machine;
using sim::Machine;

constexpr auto relaxed = std::memory_order_relaxed;

struct Refusal {
    std::string_view name;
    qport_access cause;
    int error;
};

constexpr std::array refusals{
    Refusal{"no-privilege", QPORT_ACCESS_NO_PRIVILEGE, EPERM},
    Refusal{"user-namespace", QPORT_ACCESS_USER_NAMESPACE, EPERM},
    Refusal{"lockdown", QPORT_ACCESS_LOCKDOWN, EPERM},
    Refusal{"no-kernel-support", QPORT_ACCESS_NO_KERNEL_SUPPORT, ENOSYS},
    Refusal{"not-x86", QPORT_ACCESS_NOT_X86, 0},
    Refusal{"other", QPORT_ACCESS_OTHER, EIO},
};

struct DeviceName {
    std::string_view name;
    qport_sim_device device;
};

constexpr std::array device_names{
    DeviceName{"none", QPORT_SIM_DEVICE_NONE},
    DeviceName{"loopback", QPORT_SIM_DEVICE_LOOPBACK},
    DeviceName{"printer", QPORT_SIM_DEVICE_PRINTER},
};

std::uint8_t stored_value(const Machine &machine, std::uint16_t port)
{
    return static_cast<std::uint8_t>(machine.stored[port].load(relaxed) ^ sim::reset_value(port));
}

void store_value(Machine &machine, std::uint16_t port, std::uint8_t value)
{
    machine.stored[port].store(static_cast<std::uint8_t>(value ^ sim::reset_value(port)), relaxed);
}

// The status lines of the common 25-pin loopback plug, wired pin to pin:
//   1 nStrobe -> 13 Select     2 D0 -> 15 nError     10 nAck <- 16 nInit
//   11 Busy <- 17 nSelectIn    12 PaperOut <- 14 nAutoFeed
// The control register inverts nStrobe, nAutoFeed and nSelectIn, and the
// status register inverts Busy; the reserved status bits read as ones.
std::uint8_t loopback_status(std::uint8_t data, std::uint8_t control)
{
    std::uint8_t status = sim::status_reserved_bits;
    if ((control & sim::control_select_in) != 0)
        status |= sim::status_not_busy;
    if ((control & sim::control_not_init) != 0)
        status |= sim::status_not_ack;
    if ((control & sim::control_auto_feed) == 0)
        status |= sim::status_paper_out;
    if ((control & sim::control_strobe) == 0)
        status |= sim::status_select;
    if ((data & 0x01) != 0)
        status |= sim::status_not_error;
    return status;
}

// A printer on line with paper: ready, busy while it takes a byte, then one
// status read with nAck low before it is ready again. A read made as a
// transfer ends the acknowledgement; a peek only looks.
std::uint8_t printer_status(Machine &machine, bool transfer)
{
    constexpr std::uint8_t on_line =
        sim::status_select | sim::status_not_error | sim::status_reserved_bits;
    switch (machine.printer_phase.load()) {
    case sim::printer_busy:
        return on_line | sim::status_not_ack;
    case sim::printer_acknowledging: {
        if (transfer) {
            std::uint8_t acknowledging = sim::printer_acknowledging;
            machine.printer_phase.compare_exchange_strong(acknowledging, sim::printer_ready);
        }
        return on_line;
    }
    default:
        return on_line | sim::status_not_ack | sim::status_not_busy;
    }
}

// Compatibility mode: the byte on the data lines is taken when nStrobe goes
// low (control bit 0 set) while the printer is ready, and printed when it
// goes high again. A strobe while busy is lost, as on a real printer;
// nInit low resets the printer.
void printer_sees_control(Machine &machine, std::uint8_t before, std::uint8_t now)
{
    if ((now & sim::control_not_init) == 0) {
        machine.printer_phase.store(sim::printer_ready);
        return;
    }
    const bool strobe_was = (before & sim::control_strobe) != 0;
    const bool strobe_is = (now & sim::control_strobe) != 0;
    if (!strobe_was && strobe_is) {
        std::uint8_t ready = sim::printer_ready;
        if (machine.printer_phase.compare_exchange_strong(ready, sim::printer_busy))
            machine.printer_latched.store(stored_value(machine, sim::data_port));
    } else if (strobe_was && !strobe_is) {
        std::uint8_t busy = sim::printer_busy;
        if (machine.printer_phase.compare_exchange_strong(busy, sim::printer_acknowledging)) {
            const char byte = static_cast<char>(machine.printer_latched.load());
            sim::printer_paper.write(std::string_view(&byte, 1));
            machine.printed_bytes.fetch_add(1);
        }
    }
}

constexpr std::uint64_t packed_transfer(char direction, unsigned width_bits, std::uint16_t port,
                                        std::uint32_t value)
{
    return std::uint64_t{value} | std::uint64_t{port} << 32 | std::uint64_t{width_bits} << 48 |
           std::uint64_t{static_cast<unsigned char>(direction)} << 56;
}

qport_sim_transfer unpacked_transfer(std::uint64_t time_ns, std::uint64_t packed)
{
    return {time_ns, static_cast<char>(packed >> 56), static_cast<std::uint8_t>(packed >> 48),
            static_cast<std::uint16_t>(packed >> 32), static_cast<std::uint32_t>(packed)};
}

void write_trace_line(std::uint64_t time_ns, char direction, unsigned width_bits,
                      std::uint16_t port, std::uint32_t value)
{
    sim::Line line;
    line.decimal(time_ns / 1000000000U)
        .text(".")
        .decimal(time_ns % 1000000000U, 9)
        .text(direction == 'i' ? " in " : " out ")
        .decimal(width_bits)
        .text(" 0x")
        .hex(port, 4)
        .text(" 0x")
        .hex(value, width_bits / 4)
        .text("\n");
    // One write per line, so lines from several threads never mix.
    sim::trace.write(line.view());
}

// A record still being written is waited for briefly, a few spins and then
// a few yields, and otherwise left out: its writer may be the very thread a
// signal handler interrupted, or a thread that did not survive a fork.
constexpr int spins_for_a_record = 64;
constexpr int waits_for_a_record = spins_for_a_record + 16;

void wait_for_a_record(int wait)
{
    if (wait < spins_for_a_record)
        __builtin_ia32_pause();
    else
        ::sched_yield();
}

std::size_t copy_records(Machine &machine, qport_sim_transfer *out, std::size_t capacity)
{
    const std::uint64_t end = machine.next_ticket.load(std::memory_order_acquire);
    std::uint64_t begin = machine.first_kept_ticket.load(std::memory_order_acquire);
    if (begin > end)
        begin = end;
    if (end - begin > QPORT_SIM_RECORDS)
        begin = end - QPORT_SIM_RECORDS;
    std::size_t kept = 0;
    for (std::uint64_t ticket = begin; ticket < end; ++ticket) {
        const sim::RecordSlot &slot = machine.records[ticket % QPORT_SIM_RECORDS];
        const std::uint64_t complete = 2 * ticket + 2;
        for (int wait = 0; wait < waits_for_a_record; ++wait) {
            const std::uint64_t stamp = slot.stamp.load(std::memory_order_acquire);
            if (stamp > complete)
                break; // overwritten by a later lap of the ring
            if (stamp == complete) {
                const std::uint64_t time_ns = slot.time_ns.load(std::memory_order_acquire);
                const std::uint64_t packed = slot.packed.load(std::memory_order_acquire);
                if (slot.stamp.load(relaxed) != complete)
                    break;
                if (kept < capacity)
                    out[kept] = unpacked_transfer(time_ns, packed);
                ++kept;
                break;
            }
            wait_for_a_record(wait);
        }
    }
    return kept;
}

void reset_machine(Machine &machine)
{
    for (std::size_t port = 0; port < 0x10000; ++port) {
        machine.stored[port].store(0, relaxed);
        machine.presets[port].store(0, relaxed);
    }
    machine.printer_phase.store(sim::printer_ready);
    machine.printer_latched.store(0);
    machine.printed_bytes.store(0);
    machine.first_kept_ticket.store(machine.next_ticket.load());
}

void preset_port(Machine &machine, std::uint16_t port, std::uint8_t value)
{
    if (port != sim::data_port && port != sim::control_port)
        machine.presets[port].store(1, relaxed);
    if (port == sim::control_port)
        value = static_cast<std::uint8_t>(value & ~sim::control_unused_bits);
    store_value(machine, port, value);
}

// Configuration is rare; one lock keeps two changes of it from mixing.
constinit std::mutex configuration_mutex;

// Until the program uses qport_sim.h it cannot read the record, so an
// unchanged program pays nothing for it; its first call starts recording
// on its own machine unless it chose with qport_sim_record_transfers.
constinit std::atomic<bool> recording_chosen{false};

void note_api_use()
{
    if (!recording_chosen.load(relaxed) && !recording_chosen.exchange(true))
        active_machine()->recording.store(1);
}

int open_printer_paper(const char *path)
{
    if (path == nullptr || *path == '\0') {
        sim::printer_paper.close();
        return 0;
    }
    return sim::printer_paper.open(path);
}

// Stores the printer's output path in the machine, so that every process
// on a shared machine prints to the same file, and opens it here.
int set_printer_output(const char *path)
{
    const std::size_t length = path == nullptr ? 0 : std::strlen(path);
    if (length >= sim::printer_output_capacity) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const std::lock_guard lock(configuration_mutex);
    if (open_printer_paper(path) != 0)
        return -1;
    Machine &machine = *active_machine();
    std::memset(machine.printer_output, 0, sizeof machine.printer_output);
    if (length > 0)
        std::memcpy(machine.printer_output, path, length);
    return 0;
}

void tell_cannot_print(const char *path, int error)
{
    sim::Line line;
    line.text("cannot write the printer's output to ").text(path).text(": ");
    if (error == ELOOP)
        line.text("it is a symbolic link, which the printer's output never follows");
    else
        line.text(strerrordesc_np(error));
    sim::tell(line.text("; what is printed is dropped"));
}

// A shared machine names its printer's output for every process that uses
// it; the output follows the machine, so one that names none prints nowhere.
void open_machine_printer_output()
{
    char path[sim::printer_output_capacity] = {};
    std::memcpy(path, active_machine()->printer_output, sizeof path - 1);
    const std::lock_guard lock(configuration_mutex);
    if (open_printer_paper(path) != 0) {
        tell_cannot_print(path, errno);
    }
}

int error_for(qport_access cause)
{
    for (const Refusal &refusal : refusals) {
        if (refusal.cause == cause)
            return refusal.error;
    }
    return 0;
}

void tell_cannot_trace(const char *destination, int error)
{
    sim::Line line;
    if (error == ENXIO)
        line.text("the trace FIFO ").text(destination).text(" has no reader");
    else if (error == EBADF && std::strcmp(destination, "stdout") == 0)
        line.text("standard output is closed, so the trace cannot go there");
    else if (error == EBADF && std::strcmp(destination, "stderr") == 0)
        line.text("standard error is closed, so the trace cannot go there");
    else if (error == ELOOP)
        line.text("the trace ")
            .text(destination)
            .text(" is a symbolic link in a directory shared with other users, which the trace "
                  "does not follow");
    else
        line.text("cannot write the trace to ")
            .text(destination)
            .text(": ")
            .text(strerrordesc_np(error));
    sim::tell(line.text("; the program runs without a trace"));
}

void configure_device(const char *name)
{
    for (const DeviceName &device : device_names) {
        if (device.name == name) {
            active_machine()->device.store(device.device);
            return;
        }
    }
    sim::Line line;
    line.text("QPORT_SIM_DEVICE=")
        .text(name)
        .text(" is none of none, loopback, printer; the parallel port keeps its device");
    sim::tell(line);
}

const char *set_variable(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

__attribute__((constructor)) void configure_from_environment()
{
    if (const char *machine = set_variable("QPORT_SIM_MACHINE"))
        sim::use_machine_file(machine);
    if (const char *device = set_variable("QPORT_SIM_DEVICE"))
        configure_device(device);
    if (const char *output = set_variable("QPORT_SIM_PRINTER_OUTPUT")) {
        if (set_printer_output(output) != 0) {
            tell_cannot_print(output, errno);
        }
    } else {
        open_machine_printer_output();
    }
    if (const char *destination = set_variable("QPORT_TRACE")) {
        if (sim::trace.open(destination) != 0)
            tell_cannot_trace(destination, errno);
    }
    if (const char *refuse = set_variable("QPORT_SIM_REFUSE")) {
        for (const Refusal &refusal : refusals) {
            if (refusal.name == refuse)
                simulated_access = refusal.cause;
        }
        if (simulated_access == QPORT_ACCESS_GRANTED) {
            sim::Line line;
            sim::tell(
                line.text("QPORT_SIM_REFUSE=")
                    .text(refuse)
                    .text(" is none of no-privilege, user-namespace, lockdown, no-kernel-support, "
                          "not-x86, other; access stays granted"));
        }
    }
}

} // namespace

constinit thread_local bool thread_dropped_access __attribute__((tls_model("initial-exec"))) =
    false;

Access thread_access()
{
    if (thread_dropped_access)
        return {QPORT_ACCESS_DROPPED, 0};
    const qport_access cause = simulated_access.load();
    return {cause, error_for(cause)};
}

int drop_thread_access()
{
    thread_dropped_access = true;
    return 0;
}

std::string lockdown_mode()
{
    // The host's own mode would explain nothing about a simulated refusal.
    return "";
}

const char *name() { return "simulated"; }

std::uint8_t read_status_or_control(Machine &machine, std::uint16_t port, bool transfer)
{
    const std::uint8_t value = stored_value(machine, port);
    switch (port) {
    case sim::control_port:
        return value | sim::control_unused_bits;
    case sim::status_port:
        if (machine.presets[port].load(relaxed) != 0)
            return value;
        switch (machine.device.load(relaxed)) {
        case QPORT_SIM_DEVICE_LOOPBACK:
            return loopback_status(stored_value(machine, sim::data_port),
                                   stored_value(machine, sim::control_port));
        case QPORT_SIM_DEVICE_PRINTER:
            return printer_status(machine, transfer);
        default:
            return value;
        }
    default:
        return value;
    }
}

void write_control(Machine &machine, std::uint8_t value)
{
    constexpr std::uint16_t port = sim::control_port;
    const auto kept = static_cast<std::uint8_t>(value & ~sim::control_unused_bits);
    const auto before = static_cast<std::uint8_t>(
        machine.stored[port].exchange(static_cast<std::uint8_t>(kept ^ sim::reset_value(port))) ^
        sim::reset_value(port));
    if (machine.device.load(relaxed) == QPORT_SIM_DEVICE_PRINTER)
        printer_sees_control(machine, before, kept);
}

// Taken only while transfers are recorded or traced.
void note_transfer(Machine &machine, char direction, unsigned width_bits, std::uint16_t port,
                   std::uint32_t value)
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto time_ns = static_cast<std::uint64_t>(now.tv_sec) * 1000000000U +
                         static_cast<std::uint64_t>(now.tv_nsec);
    if (machine.recording.load(relaxed) != 0) {
        const std::uint64_t ticket = machine.next_ticket.fetch_add(1, relaxed);
        sim::RecordSlot &slot = machine.records[ticket % QPORT_SIM_RECORDS];
        // Marked as being written before its fields change; the release
        // stores make a reader that sees a new field see the mark too.
        slot.stamp.store(2 * ticket + 1, relaxed);
        slot.time_ns.store(time_ns, std::memory_order_release);
        slot.packed.store(packed_transfer(direction, width_bits, port, value),
                          std::memory_order_release);
        slot.stamp.store(2 * ticket + 2, std::memory_order_release);
    }
    if (sim::trace.is_open())
        write_trace_line(time_ns, direction, width_bits, port, value);
}

} // namespace qport::backend

namespace backend = qport::backend;
using qport::sim::active_machine;

extern "C" QPORT_EXPORT void qport_sim_reset(void)
{
    backend::note_api_use();
    backend::reset_machine(*active_machine());
    qport::forget_told_notices();
}

extern "C" QPORT_EXPORT void qport_sim_preset(uint16_t port, uint8_t value)
{
    backend::note_api_use();
    backend::preset_port(*active_machine(), port, value);
}

extern "C" QPORT_EXPORT uint8_t qport_sim_peek(uint16_t port)
{
    backend::note_api_use();
    return backend::read_byte(*active_machine(), port, false);
}

extern "C" QPORT_EXPORT size_t qport_sim_transfers(qport_sim_transfer *out, size_t capacity)
{
    backend::note_api_use();
    return backend::copy_records(*active_machine(), out, capacity);
}

extern "C" QPORT_EXPORT void qport_sim_clear_transfers(void)
{
    backend::note_api_use();
    qport::sim::Machine &machine = *active_machine();
    machine.first_kept_ticket.store(machine.next_ticket.load());
}

extern "C" QPORT_EXPORT void qport_sim_record_transfers(int on)
{
    backend::recording_chosen.store(true);
    active_machine()->recording.store(on != 0 ? 1 : 0);
}

extern "C" QPORT_EXPORT int qport_sim_trace_to(const char *destination)
{
    backend::note_api_use();
    if (destination == nullptr) {
        qport::sim::trace.close();
        return 0;
    }
    return qport::sim::trace.open(destination);
}

extern "C" QPORT_EXPORT int qport_sim_refuse(qport_access cause)
{
    backend::note_api_use();
    // Only what a kernel can answer: the parallel port route and a dropped
    // access are the library's own states, not answers to pretend.
    const bool kernel_answer =
        cause == QPORT_ACCESS_GRANTED ||
        std::any_of(backend::refusals.begin(), backend::refusals.end(),
                    [cause](const backend::Refusal &refusal) { return refusal.cause == cause; });
    if (!kernel_answer) {
        errno = EINVAL;
        return -1;
    }
    backend::simulated_access = cause;
    return 0;
}

extern "C" QPORT_EXPORT int qport_sim_set_device(qport_sim_device device)
{
    backend::note_api_use();
    for (const auto &known : backend::device_names) {
        if (known.device == device) {
            active_machine()->device.store(device);
            active_machine()->printer_phase.store(qport::sim::printer_ready);
            return 0;
        }
    }
    errno = EINVAL;
    return -1;
}

extern "C" QPORT_EXPORT qport_sim_device qport_sim_current_device(void)
{
    backend::note_api_use();
    return static_cast<qport_sim_device>(active_machine()->device.load());
}

extern "C" QPORT_EXPORT int qport_sim_set_printer_output(const char *path)
{
    backend::note_api_use();
    return backend::set_printer_output(path);
}

extern "C" QPORT_EXPORT uint64_t qport_sim_printed_bytes(void)
{
    backend::note_api_use();
    return active_machine()->printed_bytes.load();
}

extern "C" QPORT_EXPORT int qport_sim_use_machine(const char *path)
{
    const int result = qport::sim::use_machine_file(path);
    backend::note_api_use();
    if (result == 0)
        backend::open_machine_printer_output();
    return result;
}

extern "C" QPORT_EXPORT const char *qport_sim_machine_path(void)
{
    backend::note_api_use();
    return qport::sim::machine_file_path();
}
