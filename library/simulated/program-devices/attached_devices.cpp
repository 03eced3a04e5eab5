// SPDX-License-Identifier: LGPL-2.1-or-later
// Devices a program attaches to the machine, answered by callbacks in the
// process (qport_sim_attach_device), and what they share with the served
// devices of served_client.cpp: taking a slot and its ports.
//
// The callbacks live in this process, in a table beside the machine, under
// the device's token: a process whose table holds another token for the
// slot (any other process on a shared machine) reads the ports as unbacked.
// A child forked afterwards keeps the table, and so the device.
#include <cerrno>
#include <csignal>
#include <mutex>

#include <sys/random.h>
#include <unistd.h>

#include "internal.h"
#include "qport_sim.h"
#include "settings.h"
#include "program_devices.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

struct AttachedCallbacks {
    std::atomic<std::uint64_t> token;
    std::atomic<qport_sim_read_port> read;
    std::atomic<qport_sim_write_port> write;
    std::atomic<void *> user;
};
constinit AttachedCallbacks attached_callbacks[slot_count]{};

bool is_user_device(const DeviceSlot &slot)
{
    const DeviceType *type = type_of(slot);
    return type == &attached_device || type == &served_device;
}

bool overlaps(const DeviceSlot &slot, std::uint32_t first, std::uint32_t end)
{
    const std::uint32_t base = slot.base.load(relaxed);
    return base < end && first < base + slot.count.load(relaxed);
}

// Devices left by processes that ended without removing them.
void remove_orphans(Machine &machine, std::uint32_t first, std::uint32_t end)
{
    for (DeviceSlot &slot : machine.slots) {
        if (!is_user_device(slot) || !overlaps(slot, first, end))
            continue;
        const auto &state = state_of<UserDeviceState>(slot);
        const pid_t process = state.process.load(relaxed);
        if (process > 0 && ::kill(process, 0) != 0 && errno == ESRCH)
            remove_user_device(machine, slot, state.token.load(relaxed));
    }
}

std::uint8_t owner_number(const Machine &machine, const DeviceSlot &slot)
{
    return static_cast<std::uint8_t>(slot_number(machine, slot) + 1);
}

// Every port or none: another process may be claiming some of them.
bool claim_all_ports(Machine &machine, DeviceSlot &slot, std::uint32_t first, std::uint32_t end)
{
    const std::uint8_t number = owner_number(machine, slot);
    for (std::uint32_t port = first; port < end; ++port) {
        std::uint8_t unowned = owner_none;
        if (!machine.owner[port].compare_exchange_strong(unowned, number)) {
            for (std::uint32_t taken = first; taken < port; ++taken)
                machine.owner[taken].store(owner_none);
            return false;
        }
    }
    return true;
}

qport_sim_port_access user_access(DeviceSlot &slot, const PortAccess &access)
{
    return {static_cast<std::uint16_t>(slot.base.load(relaxed) + access.offset), access.offset,
            static_cast<std::uint8_t>(access.width * 8), access.byte,
            static_cast<std::uint8_t>(access.peek ? 1 : 0)};
}

// The callbacks of this process's device in slot, or null.
const AttachedCallbacks *own_callbacks(Machine &machine, DeviceSlot &slot)
{
    const AttachedCallbacks &callbacks = attached_callbacks[slot_number(machine, slot)];
    const std::uint64_t token = callbacks.token.load(std::memory_order_acquire);
    return token != 0 && token == state_of<UserDeviceState>(slot).token.load(relaxed) ? &callbacks
                                                                                      : nullptr;
}

std::uint8_t attached_read(Machine &machine, DeviceSlot &slot, const PortAccess &access)
{
    const AttachedCallbacks *callbacks = own_callbacks(machine, slot);
    const qport_sim_read_port read = callbacks == nullptr ? nullptr : callbacks->read.load(relaxed);
    if (read == nullptr)
        return 0xFF;
    const qport_sim_port_access about = user_access(slot, access);
    return read(callbacks->user.load(relaxed), &about);
}

void attached_write(Machine &machine, DeviceSlot &slot, const PortAccess &access,
                    std::uint8_t value)
{
    const AttachedCallbacks *callbacks = own_callbacks(machine, slot);
    const qport_sim_write_port write =
        callbacks == nullptr ? nullptr : callbacks->write.load(relaxed);
    if (write == nullptr)
        return;
    const qport_sim_port_access about = user_access(slot, access);
    write(callbacks->user.load(relaxed), &about, value);
}

// Nothing of the machine's to reset: the device keeps its token, and its
// state is the program's.
void keep(Machine & /*machine*/, DeviceSlot & /*slot*/) {}

void describe_process(Machine & /*machine*/, DeviceSlot &slot, Properties &properties)
{
    properties.add("process", decimal_text(static_cast<std::uint32_t>(
                                  state_of<UserDeviceState>(slot).process.load(relaxed))));
}

} // namespace

extern const DeviceType attached_device{
    .name = "attached",
    .summary = "a device of a program's own, answered in that process",
    .port_count = 0,
    .state = state_layout<UserDeviceState>(1),
    .read = attached_read,
    .write = attached_write,
    .reset = keep,
    .describe = describe_process,
};

std::uint64_t new_device_token()
{
    std::uint64_t token = 0;
    while (token == 0) {
        if (::getrandom(&token, sizeof token, 0) != static_cast<ssize_t>(sizeof token))
            token = 0;
    }
    return token;
}

DeviceSlot *take_slot(Machine &machine, const DeviceType &type, std::string_view prefix,
                      std::uint16_t first_port, std::uint16_t count, std::uint64_t token)
{
    const std::uint32_t end = std::uint32_t{first_port} + count;
    remove_orphans(machine, first_port, end);
    for (std::uint32_t port = first_port; port < end; ++port) {
        if (machine.owner[port].load(relaxed) != owner_none) {
            errno = EBUSY;
            return nullptr;
        }
    }
    std::uint32_t type_number = 0;
    const auto types = device_types();
    while (types[type_number] != &type)
        ++type_number;
    for (DeviceSlot &slot : machine.slots) {
        std::uint32_t free_type = 0;
        if (!slot.type.compare_exchange_strong(free_type, type_number + 1))
            continue;
        auto &state = state_of<UserDeviceState>(slot);
        state.token.store(token, relaxed);
        state.process.store(static_cast<std::int32_t>(::getpid()), relaxed);
        const std::string name = std::string(prefix) + "-" + hex_text(first_port, 4).substr(2);
        const std::size_t length = name.copy(slot.name, sizeof slot.name - 1);
        slot.name[length] = '\0';
        // Its count once its ports are claimed: until then it is listed
        // without ports, and nothing waits on it.
        slot.base.store(first_port, relaxed);
        slot.count.store(0, std::memory_order_release);
        return &slot;
    }
    errno = ENOSPC;
    return nullptr;
}

bool claim_slot_ports(Machine &machine, DeviceSlot &slot, std::uint16_t count)
{
    const std::uint32_t first = slot.base.load(relaxed);
    if (claim_all_ports(machine, slot, first, first + count)) {
        slot.count.store(count, std::memory_order_release);
        return true;
    }
    state_of<UserDeviceState>(slot).token.store(0, relaxed);
    slot.type.store(0, std::memory_order_release);
    errno = EBUSY;
    return false;
}

bool remove_user_device(Machine &machine, DeviceSlot &slot, std::uint64_t token)
{
    auto &state = state_of<UserDeviceState>(slot);
    if (!is_user_device(slot) || state.token.load(relaxed) != token)
        return false;
    move_device(machine, slot, 0, 0);
    state.token.store(0, relaxed);
    slot.type.store(0, std::memory_order_release);
    return true;
}

} // namespace qport::sim

namespace sim = qport::sim;

extern "C" QPORT_EXPORT int qport_sim_attach_device(uint16_t first_port, uint16_t count,
                                                    qport_sim_read_port read,
                                                    qport_sim_write_port write, void *user)
{
    sim::note_api_use();
    if (count == 0 || std::uint32_t{first_port} + count > sim::port_count ||
        (read == nullptr && write == nullptr)) {
        errno = EINVAL;
        return -1;
    }
    const std::lock_guard lock(sim::configuration_mutex());
    sim::Machine &machine = *sim::active_machine();
    const std::uint64_t token = sim::new_device_token();
    sim::DeviceSlot *slot =
        sim::take_slot(machine, sim::attached_device, "attached", first_port, count, token);
    if (slot == nullptr)
        return -1;
    // The callbacks are in place before any port leads to them.
    const std::size_t number = sim::slot_number(machine, *slot);
    sim::AttachedCallbacks &callbacks = sim::attached_callbacks[number];
    callbacks.read.store(read);
    callbacks.write.store(write);
    callbacks.user.store(user);
    callbacks.token.store(token, std::memory_order_release);
    if (!sim::claim_slot_ports(machine, *slot, count)) {
        callbacks.token.store(0);
        return -1;
    }
    return static_cast<int>(number);
}

extern "C" QPORT_EXPORT int qport_sim_detach_device(int handle)
{
    sim::note_api_use();
    const std::lock_guard lock(sim::configuration_mutex());
    sim::Machine &machine = *sim::active_machine();
    if (handle < 0 || static_cast<std::size_t>(handle) >= sim::slot_count) {
        errno = ENOENT;
        return -1;
    }
    sim::DeviceSlot &slot = machine.slots[static_cast<std::size_t>(handle)];
    sim::AttachedCallbacks &callbacks = sim::attached_callbacks[static_cast<std::size_t>(handle)];
    const std::uint64_t token = callbacks.token.load();
    if (token == 0 || sim::type_of(slot) != &sim::attached_device ||
        !sim::remove_user_device(machine, slot, token)) {
        errno = ENOENT;
        return -1;
    }
    callbacks.token.store(0);
    return 0;
}
