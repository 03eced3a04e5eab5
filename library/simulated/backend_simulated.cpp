// SPDX-License-Identifier: LGPL-2.1-or-later
// The simulated backend's side of the contract in backend.h, and the
// transfers that leave the inline fast path: through the device decoding
// each port, byte by byte from the lowest port, then recorded and traced.
//
// A transfer takes no lock and allocates nothing: ports and devices are
// atomics in a constant-initialised (or mapped) machine. So a transfer is
// async-signal-safe, works in a child forked while other threads transfer,
// and never waits for another thread.
#include <atomic>
#include <string>

#include "backend.h"
#include "qport_parport.h"
#include "device.h"
#include "replay.h"
#include "settings.h"

namespace qport::backend {

constinit std::atomic<qport_access> simulated_access{QPORT_ACCESS_GRANTED};

constinit thread_local bool thread_dropped_access __attribute__((tls_model("initial-exec"))) =
    false;

Access thread_access()
{
    if (thread_dropped_access)
        return {QPORT_ACCESS_DROPPED, 0};
    const qport_access cause = simulated_access.load();
    for (const sim::Refusal &refusal : sim::refusals()) {
        if (refusal.cause == cause)
            return {cause, refusal.error};
    }
    return {cause, 0};
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

// No parallel port route: whatever access the simulated build is told to
// pretend, its ports are all in memory, so it never opens a device.
std::optional<std::uint32_t> read_through_route(std::uint16_t, unsigned) { return std::nullopt; }
bool write_through_route(std::uint16_t, unsigned, std::uint32_t) { return false; }
std::string route_access_text() { return parport::partial_access_text({}); }
std::size_t list_routes(qport_parport_route *, std::size_t) { return 0; }
bool route_reaches(std::uint16_t, unsigned) { return false; }

template <unsigned Bytes> std::uint32_t read_through_devices(std::uint16_t port)
{
    sim::Machine &machine = *sim::active_machine();
    std::uint32_t value = 0;
    if (sim::replaying()) [[unlikely]] {
        value = sim::replay_read(port, Bytes * 8);
    } else {
        for (unsigned i = 0; i < Bytes; ++i)
            value |= std::uint32_t{sim::read_port(machine, static_cast<std::uint16_t>(port + i),
                                                  Bytes, static_cast<std::uint8_t>(i), false)}
                     << (8 * i);
    }
    if (transfers_noted(machine))
        sim::note_transfer(machine, 'i', Bytes * 8, port, value);
    return value;
}

template <unsigned Bytes> void write_through_devices(std::uint16_t port, std::uint32_t value)
{
    sim::Machine &machine = *sim::active_machine();
    if (sim::replaying()) [[unlikely]]
        sim::replay_write(port, Bytes * 8, value);
    else
        for (unsigned i = 0; i < Bytes; ++i)
            sim::write_port(machine, static_cast<std::uint16_t>(port + i), Bytes,
                            static_cast<std::uint8_t>(i),
                            static_cast<std::uint8_t>(value >> (8 * i)));
    if (transfers_noted(machine))
        sim::note_transfer(machine, 'o', Bytes * 8, port, value);
}

template std::uint32_t read_through_devices<1>(std::uint16_t);
template std::uint32_t read_through_devices<2>(std::uint16_t);
template std::uint32_t read_through_devices<4>(std::uint16_t);
template void write_through_devices<1>(std::uint16_t, std::uint32_t);
template void write_through_devices<2>(std::uint16_t, std::uint32_t);
template void write_through_devices<4>(std::uint16_t, std::uint32_t);

} // namespace qport::backend
