// SPDX-License-Identifier: LGPL-2.1-or-later
// A machine described in a TOML file: the profile, each device's
// properties (a parallel port's peripheral with its settings), presets of
// ports, and memories loaded from files, kept beside the tests that need
// that machine.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#define TOML_EXCEPTIONS 0
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include "backend.h"
#include "device.h"
#include "device_memory.h"
#include "parallel_port.h"
#include "settings.h"

namespace qport::sim {
namespace {

// Big enough for any machine a person writes by hand; a bound on what a
// file can make the library allocate.
constexpr off_t description_size_limit = off_t{64} * 1024;

// The description as this process's user may trust it: a regular file of
// the user's own that nobody else may write (another user's file could
// load their memories into a flash the user then programs from). A
// symbolic link is followed: the file it reaches is what is checked.
bool read_description(const char *path, std::string &text, std::string &why)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        why = strerrordesc_np(errno);
        return false;
    }
    struct stat about {};
    int error = EINVAL;
    if (::fstat(fd, &about) != 0) {
        error = errno;
        why = strerrordesc_np(error);
    } else if (!S_ISREG(about.st_mode)) {
        why = "not a regular file";
    } else if (about.st_uid != ::geteuid()) {
        why = "it belongs to another user; a machine description is read only from the user's "
              "own files";
        error = EPERM;
    } else if ((about.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "other users may write it; a machine description must be writable by its owner "
              "alone";
        error = EPERM;
    } else if (about.st_size > description_size_limit) {
        why = "larger than 64 KiB";
    }
    if (why.empty()) {
        text.resize(static_cast<std::size_t>(about.st_size));
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t got = ::read(fd, text.data() + done, text.size() - done);
            if (got <= 0)
                break;
            done += static_cast<std::size_t>(got);
        }
        text.resize(done);
    }
    ::close(fd);
    if (why.empty())
        return true;
    errno = error;
    return false;
}

// One key = value of the description, where the file gave it.
struct Entry {
    std::string key;  // "devices.hwmon.temp1"
    std::string name; // "temp1"
    const toml::node *value;
    toml::source_position at;
};

// The entries of a table in the order the file gives them (a TOML table
// keeps its keys sorted).
std::vector<Entry> in_file_order(const toml::table &table, const std::string &prefix)
{
    std::vector<Entry> entries;
    for (const auto &[key, node] : table)
        entries.push_back(
            {prefix + std::string(key.str()), std::string(key.str()), &node, key.source().begin});
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.at.line != b.at.line ? a.at.line < b.at.line : a.at.column < b.at.column;
    });
    return entries;
}

// A value as a device's set() takes it: text as written, a number in
// decimal, true and false as 1 and 0.
bool value_text(const toml::node &node, std::string &text)
{
    if (const auto *string = node.as_string()) {
        text = string->get();
        return true;
    }
    if (const auto *integer = node.as_integer()) {
        text = std::to_string(integer->get());
        return true;
    }
    if (const auto *boolean = node.as_boolean()) {
        text = boolean->get() ? "1" : "0";
        return true;
    }
    if (const auto *floating = node.as_floating_point()) {
        char buffer[32];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, floating->get());
        text.assign(buffer, result.ptr);
        return true;
    }
    return false;
}

class Description {
public:
    Description(Machine &machine, const char *path) : machine_(machine), path_(path) {}

    bool apply(const toml::table &root)
    {
        const Profile *profile = &default_profile();
        for (const Entry &entry : in_file_order(root, "")) {
            if (entry.name == "profile") {
                std::string name;
                if (!value_text(*entry.value, name) || !entry.value->is_string())
                    return refuse(entry, "a profile is a name in quotes: " + profile_names());
                profile = find_profile(name);
                if (profile == nullptr)
                    return refuse(entry, "no profile " + name + "; it can be " + profile_names());
            } else if (entry.name != "devices" && entry.name != "presets" &&
                       entry.name != "memories") {
                return refuse(
                    entry, "not part of a machine description; it can be profile, [devices.NAME], "
                           "[presets] or [memories]");
            } else if (!entry.value->is_table()) {
                return refuse(entry, "a table: [" + entry.name + "]");
            }
        }
        build_machine(machine_, *profile);
        for (const char *part : {"devices", "presets", "memories"}) {
            const toml::table *table = root[part].as_table();
            if (table == nullptr)
                continue;
            for (const Entry &entry : in_file_order(*table, std::string(part) + ".")) {
                const bool done = std::strcmp(part, "devices") == 0   ? device(entry)
                                  : std::strcmp(part, "presets") == 0 ? preset(entry)
                                                                      : memory(entry);
                if (!done)
                    return false;
            }
        }
        return true;
    }

    bool refuse(const Entry &entry, const std::string &reason)
    {
        why_ = std::string(path_) + ":" + std::to_string(entry.at.line) + ": " + entry.key + ": " +
               reason;
        errno = EINVAL;
        return false;
    }

    const std::string &why() const { return why_; }

private:
    bool device(const Entry &device)
    {
        DeviceSlot *slot = find_slot(machine_, device.name);
        const toml::table *properties = device.value->as_table();
        if (slot == nullptr)
            return refuse(device, "the machine has no device " + device.name + "; it has " +
                                      device_names());
        if (properties == nullptr)
            return refuse(device,
                          "a table of the device's properties: [devices." + device.name + "]");
        const DeviceType &type = *type_of(*slot);
        std::vector<Entry> entries = in_file_order(*properties, device.key + ".");
        // The peripheral first: its settings come with it, and what is set
        // on the port afterwards must not be undone by plugging it in.
        std::stable_partition(entries.begin(), entries.end(),
                              [](const Entry &entry) { return entry.name == "peripheral"; });
        for (const Entry &entry : entries) {
            std::string value;
            if (!value_text(*entry.value, value))
                return refuse(entry, "a value is a number, text in quotes, true or false");
            if (entry.name == "peripheral" && type.name == "parallel-port") {
                std::string refused;
                const int error = set_peripheral(machine_, *slot, value, Plugging::fresh, &refused);
                if (error == ENOENT)
                    return refuse(entry,
                                  "no peripheral " + value + "; it can be " + peripheral_names());
                if (error != 0)
                    return refuse(entry, "a setting the peripheral does not take: " + refused);
                continue;
            }
            const int error =
                type.set == nullptr ? ENOENT : type.set(machine_, *slot, entry.name, value);
            if (error == ENOENT)
                return refuse(entry, device.name + " has no property " + entry.name +
                                         " to set (qportio show lists its properties)");
            if (error != 0)
                return refuse(entry,
                              device.name + " does not take " + value + " for " + entry.name);
        }
        return true;
    }

    bool preset(const Entry &entry)
    {
        std::uint32_t port = 0;
        const auto *value = entry.value->as_integer();
        if (!parse_number(entry.name, port) || port > 0xFFFF)
            return refuse(entry, "a port is 0 to 0xFFFF, in decimal or 0x hex");
        if (value == nullptr || value->get() < 0 || value->get() > 0xFF)
            return refuse(entry, "a preset is a byte, 0 to 0xFF");
        preset_port(machine_, static_cast<std::uint16_t>(port),
                    static_cast<std::uint8_t>(value->get()));
        return true;
    }

    bool memory(const Entry &entry)
    {
        const auto *file = entry.value->as_string();
        if (file == nullptr)
            return refuse(entry, "a memory is loaded from a file named in quotes");
        // Relative to the description, which travels with the files it
        // names.
        std::string path(file->get());
        if (!path.starts_with('/')) {
            const std::string_view description(path_);
            const std::size_t slash = description.rfind('/');
            if (slash != std::string_view::npos)
                path = std::string(description.substr(0, slash + 1)) + path;
        }
        if (load_memory(entry.name.c_str(), path.c_str()) == 0)
            return true;
        const int error = errno;
        if (error == ENOENT && ::access(path.c_str(), F_OK) == 0)
            return refuse(entry,
                          "the machine has no memory " + entry.name + "; it has " + memory_names());
        if (error == EINVAL)
            return refuse(entry, path + " is not of the memory's size");
        return refuse(entry, path + ": " + strerrordesc_np(error));
    }

    std::string device_names()
    {
        std::string names;
        for (DeviceSlot &slot : machine_.slots) {
            if (type_of(slot) != nullptr)
                names += (names.empty() ? "" : ", ") + std::string(slot.name);
        }
        return names;
    }

    std::string memory_names()
    {
        std::string names;
        MemoryNeed need{};
        for (std::size_t index = 0; machine_memory(machine_, index, need); ++index)
            names += (names.empty() ? "" : ", ") + std::string(need.name);
        return names.empty() ? "none" : names;
    }

    Machine &machine_;
    const char *path_;
    std::string why_;
};

} // namespace

int describe_machine(const char *path, std::string &why, bool &changed)
{
    changed = false;
    std::string text;
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (!read_description(path, text, why)) {
        const int error = errno;
        why = std::string(path) + ": " + why;
        errno = error;
        return -1;
    }
    toml::parse_result parsed = toml::parse(text, std::string_view(path));
    if (!parsed) {
        const toml::parse_error &error = parsed.error();
        why = std::string(path) + ":" + std::to_string(error.source().begin.line) + ": " +
              std::string(error.description());
        errno = EINVAL;
        return -1;
    }
    const std::lock_guard lock(configuration_mutex());
    Machine &machine = *active_machine();
    Description description(machine, path);
    changed = true;
    const bool done = description.apply(parsed.table());
    open_printer_outputs(machine);
    if (!done) {
        why = description.why();
        errno = EINVAL;
        return -1;
    }
    return 0;
}

} // namespace qport::sim
