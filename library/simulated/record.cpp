// SPDX-License-Identifier: LGPL-2.1-or-later
// The record of transfers in the machine, the trace and the recording file:
// what a transfer leaves behind once one of them is on. The record is a ring that
// writers claim slots of with one atomic increment, so noting a transfer
// takes no lock and allocates nothing.
#include <sched.h>

#include "outputs.h"
#include "settings.h"
#include "transfer_lines.h"

namespace qport::sim {

constinit Output trace("the trace", Links::refused_in_shared_directories);

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

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

} // namespace

void note_transfer(Machine &machine, char direction, unsigned width_bits, std::uint16_t port,
                   std::uint32_t value)
{
    const std::uint64_t time_ns = monotonic_ns();
    bool no_device = true;
    for (unsigned byte = 0; byte < width_bits / 8; ++byte)
        no_device = no_device && !port_answers(machine, static_cast<std::uint16_t>(port + byte));
    if (machine.recording.load(relaxed) != 0) {
        const std::uint64_t ticket = machine.next_ticket.fetch_add(1, relaxed);
        RecordSlot &slot = machine.records[ticket % QPORT_SIM_RECORDS];
        // Marked as being written before its fields change; the release
        // stores make a reader that sees a new field see the mark too.
        slot.stamp.store(2 * ticket + 1, relaxed);
        slot.time_ns.store(time_ns, std::memory_order_release);
        slot.packed.store(packed_transfer(direction, width_bits, port, value),
                          std::memory_order_release);
        slot.stamp.store(2 * ticket + 2, std::memory_order_release);
    }
    // The trace and the recording are the same lines, each one write, so
    // that lines from several threads never mix.
    if (trace.is_open())
        trace.write(transfer_line(time_ns, direction, width_bits, port, value, no_device).view());
    record_transfer(time_ns, direction, width_bits, port, value, no_device);
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
        const RecordSlot &slot = machine.records[ticket % QPORT_SIM_RECORDS];
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

std::uint64_t recorded_total(const Machine &machine)
{
    const std::uint64_t end = machine.next_ticket.load(std::memory_order_acquire);
    const std::uint64_t begin = machine.first_kept_ticket.load(std::memory_order_acquire);
    return begin > end ? 0 : end - begin;
}

void clear_records(Machine &machine)
{
    machine.first_kept_ticket.store(machine.next_ticket.load());
}

} // namespace qport::sim
