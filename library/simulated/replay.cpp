// SPDX-License-Identifier: LGPL-2.1-or-later
// The replay device: a recording (QPORT_SIM_REPLAY) played back. It decodes
// every port, so that no transfer passes it by; each transfer, whole, must
// be the recording's next one: a read answers the recorded value, a write
// must write the recorded value (unless its port's writes are ignored).
// The first transfer that is not is told on standard error with its line in
// the recording; from there on every port reads all ones and writes go
// nowhere, and the process ends with QPORT_SIM_REPLAY_EXIT_STATUS.
//
// The recording and the place in it belong to this process (a machine of
// its own); a child forked meanwhile goes on from the same place on a copy.
#include "replay.h"

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "device.h"
#include "outputs.h"
#include "transfer_lines.h"

namespace qport::sim {

constinit std::atomic<Replay *> active_replay{nullptr};

struct Replay {
    std::string path;
    std::vector<RecordedTransfer> transfers;
    std::size_t lines = 0;
    std::bitset<port_count> writes_ignored;
    pid_t loader = 0;    // the process that read the recording
    int exit_status = 0; // 0: the program's own
    std::atomic<std::size_t> next{0};
    std::atomic<bool> diverged{false};
    std::atomic<std::size_t> divergence_line{0};
};

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

Line &start_of_divergence(Line &line, const Replay &replay, std::size_t at_line)
{
    line.text("the replay of ").text(replay.path);
    if (at_line > replay.lines)
        return line.text(" diverges after its last line (").decimal(replay.lines).text(")");
    return line.text(" diverges at line ").decimal(at_line);
}

// The first divergence alone is told.
bool diverge(Replay &replay, std::size_t at_line)
{
    if (replay.diverged.exchange(true))
        return false;
    replay.divergence_line.store(at_line, relaxed);
    return true;
}

void tell_divergence(Replay &replay, std::size_t at_line, const RecordedTransfer *expected,
                     const Line &came)
{
    if (!diverge(replay, at_line))
        return;
    Line line;
    start_of_divergence(line, replay, at_line).text(": expected ");
    if (expected != nullptr)
        transfer_text(line, expected->direction, expected->width_bits, expected->port,
                      expected->value);
    else
        line.text("no more transfers");
    tell(line.text(", came ")
             .text(came.view())
             .text("; from here on every port reads 0xff and writes go nowhere"));
}

// The next recorded transfer if it is one in direction of width at port;
// otherwise the divergence is told and null returned.
const RecordedTransfer *next_transfer(Replay &replay, char direction, unsigned width_bits,
                                      std::uint16_t port, const Line &came)
{
    if (replay.diverged.load(relaxed))
        return nullptr;
    const std::size_t index = replay.next.fetch_add(1, relaxed);
    if (index >= replay.transfers.size()) {
        tell_divergence(replay, replay.lines + 1, nullptr, came);
        return nullptr;
    }
    const RecordedTransfer &expected = replay.transfers[index];
    if (expected.direction != direction || expected.width_bits != width_bits ||
        expected.port != port) {
        tell_divergence(replay, expected.line, &expected, came);
        return nullptr;
    }
    return &expected;
}

constexpr std::uint32_t all_ones(unsigned width_bits) { return 0xFFFFFFFFU >> (32 - width_bits); }

// At exit(): a recording the program stopped short of is a divergence too,
// in the process that read it; then the exit status, if one was chosen.
// Registered when the replay starts, before the C library's own handlers
// (its stdio's flush aside), so it runs after everything else the program
// does at exit.
void at_exit(int status, void * /*unused*/)
{
    Replay *replay = active_replay.load();
    if (replay == nullptr)
        return;
    const std::size_t next = replay->next.load();
    if (::getpid() == replay->loader && next < replay->transfers.size()) {
        const RecordedTransfer &expected = replay->transfers[next];
        Line came;
        tell_divergence(*replay, expected.line, &expected, came.text("the program's end"));
    }
    if (replay->diverged.load() && replay->exit_status != 0 && replay->exit_status != status) {
        Line line;
        tell(line.text("the program diverged from its recording: exit status ")
                 .decimal(static_cast<unsigned>(replay->exit_status))
                 .text(" instead of ")
                 .decimal(static_cast<unsigned>(status & 0xFF)));
        std::fflush(nullptr);
        ::_exit(replay->exit_status);
    }
}

// "0x378,0x37a-0x37b": ports whose writes are not checked.
bool parse_ports(std::string_view text, std::bitset<port_count> &ports)
{
    const auto ranges = parse_port_list(text);
    if (!ranges)
        return false;
    for (const PortRange &range : *ranges)
        for (std::uint32_t port = range.first; port <= range.last; ++port)
            ports.set(port);
    return true;
}

std::uint8_t read(Machine & /*machine*/, DeviceSlot & /*slot*/, const PortAccess & /*access*/)
{
    // Reached only by a look at a port (qport_sim_peek): replayed
    // transfers are answered whole, before the devices.
    return 0xFF;
}

void write(Machine & /*machine*/, DeviceSlot & /*slot*/, const PortAccess & /*access*/,
           std::uint8_t /*value*/)
{}

void reset(Machine & /*machine*/, DeviceSlot & /*slot*/) {}

void describe(Machine & /*machine*/, DeviceSlot & /*slot*/, Properties &properties)
{
    const Replay *replay = active_replay.load();
    if (replay == nullptr)
        return;
    properties.add("recording", replay->path);
    properties.add("transfers", decimal_text(replay->transfers.size()));
    const std::size_t next = replay->next.load(relaxed);
    properties.add("replayed", decimal_text(std::min(next, replay->transfers.size())));
    if (replay->diverged.load(relaxed))
        properties.add("state",
                       "diverged at line " + decimal_text(replay->divergence_line.load(relaxed)));
    else
        properties.add("state", next >= replay->transfers.size() ? "complete" : "matching");
}

} // namespace

extern const DeviceType replay_device{
    .name = "replay",
    .summary = "answers every port from a recording, checking what the program writes",
    .port_count = 0xFFFF,
    .state = no_state,
    .read = read,
    .write = write,
    .reset = reset,
    .describe = describe,
};

std::uint32_t replay_read(std::uint16_t port, unsigned width_bits)
{
    Replay &replay = *active_replay.load(relaxed);
    Line came;
    came.text("in ").decimal(width_bits).text(" 0x").hex(port, 4);
    const RecordedTransfer *expected = next_transfer(replay, 'i', width_bits, port, came);
    return expected != nullptr ? expected->value : all_ones(width_bits);
}

void replay_write(std::uint16_t port, unsigned width_bits, std::uint32_t value)
{
    Replay &replay = *active_replay.load(relaxed);
    Line came;
    transfer_text(came, 'o', width_bits, port, value);
    const RecordedTransfer *expected = next_transfer(replay, 'o', width_bits, port, came);
    if (expected != nullptr && expected->value != value && !replay.writes_ignored.test(port))
        tell_divergence(replay, expected->line, expected, came);
}

void start_replay(Machine &machine, const char *path, const char *ignored_writes,
                  const char *exit_status)
{
    // Read once and kept for the life of the process: the exit handler
    // needs it after every destructor has run.
    auto *replay = new Replay;
    replay->path = path;
    replay->loader = ::getpid();
    if (exit_status != nullptr) {
        std::uint32_t status = 0;
        if (parse_number(exit_status, status) && status >= 1 && status <= 255)
            replay->exit_status = static_cast<int>(status);
        else
            tell(Line()
                     .text("QPORT_SIM_REPLAY_EXIT_STATUS=")
                     .text(exit_status)
                     .text(" is no exit status from 1 to 255; the program's own is kept"));
    }
    Recording recording = read_recording(path);
    replay->transfers = std::move(recording.transfers);
    replay->lines = recording.lines;
    if (!recording.error.empty()) {
        replay->transfers.clear();
        diverge(*replay, recording.error_line);
        Line line;
        line.text("cannot replay ").text(path);
        if (recording.error_line != 0)
            line.text(", line ").decimal(recording.error_line);
        tell(line.text(": ").text(recording.error).text("; every port reads 0xff"));
    }
    if (ignored_writes != nullptr && !parse_ports(ignored_writes, replay->writes_ignored)) {
        diverge(*replay, 0);
        tell(Line()
                 .text("QPORT_SIM_REPLAY_IGNORE_WRITES=")
                 .text(ignored_writes)
                 .text(" is no list of ports (0x378,0x37a-0x37b); every port reads 0xff"));
    }

    DeviceSlot *free_slot = nullptr;
    for (DeviceSlot &slot : machine.slots) {
        if (type_of(slot) == nullptr) {
            free_slot = &slot;
            break;
        }
    }
    const auto types = device_types();
    std::size_t index = 0;
    while (types[index] != &replay_device)
        ++index;
    if (free_slot != nullptr) {
        std::string_view("replay").copy(free_slot->name, sizeof free_slot->name - 1);
        free_slot->type.store(static_cast<std::uint32_t>(index + 1), std::memory_order_release);
        // Every port but the last, as a range; the last on its own. Ports
        // another device decodes leave the fast path as well, and the
        // replay answers before any device.
        move_device(machine, *free_slot, 0, 0xFFFF);
        std::uint8_t unowned = owner_none;
        machine.owner[0xFFFF].compare_exchange_strong(
            unowned, static_cast<std::uint8_t>(slot_number(machine, *free_slot) + 1));
    }
    ::on_exit(at_exit, nullptr);
    active_replay.store(replay, std::memory_order_release);
}

} // namespace qport::sim
