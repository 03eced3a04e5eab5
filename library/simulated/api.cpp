// SPDX-License-Identifier: LGPL-2.1-or-later
// The C API of qport_sim.h: set-up and inspection of the simulated PC.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qport_sim.h"

#include "backend.h"
#include "internal.h"
#include "device.h"
#include "device_memory.h"
#include "parallel_port.h"
#include "settings.h"

namespace sim = qport::sim;
using sim::active_machine;

namespace {

// Returns 0, or sets errno to error and returns -1.
int result_of(int error)
{
    if (error == 0)
        return 0;
    errno = error;
    return -1;
}

sim::DeviceSlot *first_parallel_port() { return sim::find_slot(*active_machine(), "lpt1"); }

class PropertyVisits final : public sim::Properties {
public:
    PropertyVisits(qport_sim_property_visitor visit, void *user_data)
        : visit_(visit), user_data_(user_data)
    {}
    void add(std::string_view key, std::string_view value) override
    {
        const std::string key_text(key);
        const std::string value_text(value);
        visit_(key_text.c_str(), value_text.c_str(), user_data_);
    }

private:
    qport_sim_property_visitor visit_;
    void *user_data_;
};

} // namespace

extern "C" QPORT_EXPORT void qport_sim_reset(void)
{
    sim::note_api_use();
    sim::Machine &machine = *active_machine();
    sim::reset_machine(machine);
    sim::clear_records(machine);
    qport::forget_told_notices();
}

extern "C" QPORT_EXPORT uint32_t qport_sim_reset_count(void)
{
    sim::note_api_use();
    return active_machine()->resets.load();
}

extern "C" QPORT_EXPORT const char *qport_sim_last_reset_cause(void)
{
    sim::note_api_use();
    const auto cause = static_cast<sim::ResetCause>(active_machine()->last_reset_cause.load());
    // Every cause's text is a literal: NUL-terminated.
    return sim::reset_cause_text(cause).data();
}

extern "C" QPORT_EXPORT void qport_sim_preset(uint16_t port, uint8_t value)
{
    sim::note_api_use();
    sim::preset_port(*active_machine(), port, value);
}

extern "C" QPORT_EXPORT uint8_t qport_sim_peek(uint16_t port)
{
    sim::note_api_use();
    return sim::read_port(*active_machine(), port, 1, 0, true);
}

extern "C" QPORT_EXPORT int qport_sim_port_decoded(uint16_t port)
{
    return sim::port_answers(*active_machine(), port) ? 1 : 0;
}

extern "C" QPORT_EXPORT int qport_sim_environment_understood(void)
{
    return sim::environment_understood() ? 1 : 0;
}

extern "C" QPORT_EXPORT size_t qport_sim_transfers(qport_sim_transfer *out, size_t capacity)
{
    sim::note_api_use();
    return sim::copy_records(*active_machine(), out, capacity);
}

extern "C" QPORT_EXPORT uint64_t qport_sim_transfer_total(void)
{
    sim::note_api_use();
    return sim::recorded_total(*active_machine());
}

extern "C" QPORT_EXPORT void qport_sim_clear_transfers(void)
{
    sim::note_api_use();
    sim::clear_records(*active_machine());
}

extern "C" QPORT_EXPORT void qport_sim_record_transfers(int on) { sim::choose_recording(on != 0); }

extern "C" QPORT_EXPORT int qport_sim_trace_to(const char *destination)
{
    sim::note_api_use();
    if (destination == nullptr) {
        sim::trace.close();
        return 0;
    }
    return sim::trace.open(destination);
}

extern "C" QPORT_EXPORT int qport_sim_refuse(qport_access cause)
{
    sim::note_api_use();
    // Only what a kernel can answer: the parallel port route and a dropped
    // access are the library's own states, not answers to pretend.
    const auto refusals = sim::refusals();
    const bool kernel_answer =
        cause == QPORT_ACCESS_GRANTED ||
        std::any_of(refusals.begin(), refusals.end(),
                    [cause](const sim::Refusal &refusal) { return refusal.cause == cause; });
    if (!kernel_answer)
        return result_of(EINVAL);
    qport::backend::simulated_access = cause;
    return 0;
}

extern "C" QPORT_EXPORT const char *qport_sim_device_name(qport_sim_device device)
{
    for (const sim::PeripheralType *peripheral : sim::peripheral_types()) {
        if (peripheral->device == device)
            return peripheral->name.data();
    }
    return nullptr;
}

extern "C" QPORT_EXPORT int qport_sim_set_device(qport_sim_device device)
{
    sim::note_api_use();
    const char *name = qport_sim_device_name(device);
    sim::DeviceSlot *port = first_parallel_port();
    if (name == nullptr || port == nullptr)
        return result_of(name == nullptr ? EINVAL : ENODEV);
    const std::lock_guard lock(sim::configuration_mutex());
    return result_of(sim::set_peripheral(*active_machine(), *port, name));
}

extern "C" QPORT_EXPORT qport_sim_device qport_sim_current_device(void)
{
    sim::note_api_use();
    sim::DeviceSlot *port = first_parallel_port();
    if (port == nullptr)
        return QPORT_SIM_DEVICE_NONE;
    return static_cast<qport_sim_device>(
        sim::state_of<sim::ParallelPortState>(*port).peripheral.load());
}

extern "C" QPORT_EXPORT int qport_sim_set_printer_output(const char *path)
{
    sim::note_api_use();
    sim::DeviceSlot *port = first_parallel_port();
    if (port == nullptr)
        return result_of(ENODEV);
    return sim::set_printer_output(*active_machine(), *port, path);
}

extern "C" QPORT_EXPORT uint64_t qport_sim_printed_bytes(void)
{
    sim::note_api_use();
    sim::DeviceSlot *port = first_parallel_port();
    return port == nullptr ? 0 : sim::printed_bytes(sim::parallel_port(*active_machine(), *port));
}

extern "C" QPORT_EXPORT int qport_sim_use_machine(const char *path)
{
    const int result = sim::switch_machine(path);
    sim::note_api_use();
    return result;
}

extern "C" QPORT_EXPORT const char *qport_sim_machine_path(void)
{
    sim::note_api_use();
    return sim::machine_file_path();
}

extern "C" QPORT_EXPORT const char *qport_sim_profile_name(unsigned index)
{
    const auto profiles = sim::profiles();
    return index < profiles.size() ? profiles[index].name.data() : nullptr;
}

extern "C" QPORT_EXPORT const char *qport_sim_current_profile(void)
{
    sim::note_api_use();
    const sim::Profile *profile = sim::profile_of(*active_machine());
    return profile == nullptr ? nullptr : profile->name.data();
}

extern "C" QPORT_EXPORT int qport_sim_set_profile(const char *name)
{
    sim::note_api_use();
    const sim::Profile *profile = name == nullptr ? nullptr : sim::find_profile(name);
    if (profile == nullptr)
        return result_of(EINVAL);
    const std::lock_guard lock(sim::configuration_mutex());
    sim::Machine &machine = *active_machine();
    sim::build_machine(machine, *profile);
    sim::open_printer_outputs(machine);
    return 0;
}

extern "C" QPORT_EXPORT size_t qport_sim_list_devices(qport_sim_device_info *out, size_t capacity)
{
    sim::note_api_use();
    size_t count = 0;
    for (sim::DeviceSlot &slot : active_machine()->slots) {
        const sim::DeviceType *type = sim::type_of(slot);
        if (type == nullptr)
            continue;
        if (count < capacity) {
            qport_sim_device_info &info = out[count];
            info = {};
            std::memcpy(info.name, slot.name, std::min(sizeof info.name, sizeof slot.name) - 1);
            type->name.copy(info.type, sizeof info.type - 1);
            info.first_port = slot.base.load();
            info.port_count = slot.count.load();
        }
        ++count;
    }
    return count;
}

extern "C" QPORT_EXPORT int
qport_sim_device_properties(const char *device, qport_sim_property_visitor visit, void *user_data)
{
    sim::note_api_use();
    sim::Machine &machine = *active_machine();
    sim::DeviceSlot *slot = device == nullptr ? nullptr : sim::find_slot(machine, device);
    if (slot == nullptr || visit == nullptr)
        return result_of(slot == nullptr ? ENOENT : EINVAL);
    const sim::DeviceType *type = sim::type_of(*slot);
    PropertyVisits visits(visit, user_data);
    visits.add("type", type->name);
    const unsigned base = slot->base.load();
    const unsigned count = slot->count.load();
    std::string ports = count == 0
                            ? std::string("none (disabled)")
                            : sim::hex_text(base, 4) + "-" + sim::hex_text(base + count - 1, 4);
    if (type->second_port_count != 0) {
        const unsigned second_base = slot->second_base.load();
        const unsigned second_count = slot->second_count.load();
        ports += " and ";
        ports += second_count == 0 ? std::string("none (disabled)")
                                   : sim::hex_text(second_base, 4) + "-" +
                                         sim::hex_text(second_base + second_count - 1, 4);
    }
    visits.add("ports", ports);
    if (type->describe != nullptr)
        type->describe(machine, *slot, visits);
    return 0;
}

extern "C" QPORT_EXPORT int qport_sim_set_device_property(const char *device, const char *key,
                                                          const char *value)
{
    sim::note_api_use();
    sim::Machine &machine = *active_machine();
    sim::DeviceSlot *slot = device == nullptr ? nullptr : sim::find_slot(machine, device);
    if (slot == nullptr)
        return result_of(ENOENT);
    const sim::DeviceType *type = sim::type_of(*slot);
    if (key == nullptr || value == nullptr)
        return result_of(EINVAL);
    if (type->set == nullptr)
        return result_of(ENOENT);
    const std::lock_guard lock(sim::configuration_mutex());
    return result_of(type->set(machine, *slot, key, value));
}

namespace {

// The memory named name as this process reaches it; errno set when none.
sim::DeviceMemory named_memory(const char *name, int &error)
{
    sim::Machine &machine = *active_machine();
    sim::MemoryNeed need{};
    for (std::size_t index = 0; name != nullptr && sim::machine_memory(machine, index, need);
         ++index) {
        if (std::strncmp(need.name, name, sizeof need.name) != 0)
            continue;
        const sim::DeviceMemory memory = sim::memory_of(machine, need);
        error = memory.bytes == nullptr ? ENODEV : 0;
        return memory;
    }
    error = ENOENT;
    return {nullptr, 0};
}

constexpr std::size_t memory_chunk = 65536;

} // namespace

extern "C" QPORT_EXPORT size_t qport_sim_list_memories(qport_sim_memory_info *out, size_t capacity)
{
    sim::note_api_use();
    sim::MemoryNeed need{};
    std::size_t count = 0;
    for (; sim::machine_memory(*active_machine(), count, need); ++count) {
        if (count < capacity) {
            out[count] = {};
            std::memcpy(out[count].name, need.name, sizeof out[count].name - 1);
            out[count].size = need.size;
        }
    }
    return count;
}

int sim::load_memory(const char *name, const char *path)
{
    int error = 0;
    const sim::DeviceMemory memory = named_memory(name, error);
    if (error != 0 || path == nullptr)
        return result_of(error != 0 ? error : EINVAL);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat about {};
    if (::fstat(fd, &about) != 0 || !S_ISREG(about.st_mode) ||
        about.st_size != static_cast<off_t>(memory.size)) {
        ::close(fd);
        return result_of(EINVAL);
    }
    std::string chunk(memory_chunk, '\0');
    for (std::size_t done = 0; done < memory.size;) {
        const ssize_t got = ::read(fd, chunk.data(), std::min(chunk.size(), memory.size - done));
        if (got <= 0) {
            error = got < 0 ? errno : EINVAL;
            ::close(fd);
            return result_of(error);
        }
        for (ssize_t i = 0; i < got; ++i)
            memory.bytes[done + static_cast<std::size_t>(i)].store(
                static_cast<std::uint8_t>(chunk[static_cast<std::size_t>(i)]),
                std::memory_order_relaxed);
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return 0;
}

extern "C" QPORT_EXPORT int qport_sim_load_memory(const char *name, const char *path)
{
    sim::note_api_use();
    return sim::load_memory(name, path);
}

extern "C" QPORT_EXPORT int qport_sim_save_memory(const char *name, const char *path)
{
    sim::note_api_use();
    int error = 0;
    const sim::DeviceMemory memory = named_memory(name, error);
    if (error != 0 || path == nullptr)
        return result_of(error != 0 ? error : EINVAL);
    const int fd =
        ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
    if (fd < 0)
        return -1;
    std::string chunk(memory_chunk, '\0');
    for (std::size_t done = 0; done < memory.size;) {
        const std::size_t length = std::min(chunk.size(), memory.size - done);
        for (std::size_t i = 0; i < length; ++i)
            chunk[i] = static_cast<char>(memory.bytes[done + i].load(std::memory_order_relaxed));
        for (std::size_t written = 0; written < length;) {
            const ssize_t put = ::write(fd, chunk.data() + written, length - written);
            if (put < 0) {
                error = errno;
                ::close(fd);
                return result_of(error);
            }
            written += static_cast<std::size_t>(put);
        }
        done += length;
    }
    return ::close(fd) == 0 ? 0 : -1;
}

extern "C" QPORT_EXPORT int qport_sim_describe_machine(const char *path, char *why, size_t why_size)
{
    sim::note_api_use();
    std::string reason;
    bool changed = false;
    const int result = sim::describe_machine(path, reason, changed);
    const int error = errno;
    if (why != nullptr && why_size > 0) {
        const std::size_t length = std::min(reason.size(), why_size - 1);
        std::memcpy(why, reason.data(), length);
        why[length] = '\0';
    }
    errno = error;
    return result;
}
