// SPDX-License-Identifier: LGPL-2.1-or-later
// Device memories: anonymous memory for a private machine, a file beside the
// machine file for a shared one. See device_memory.h.
#include "device_memory.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device.h"
#include "outputs.h"

namespace qport::sim {
namespace {

// The memories this process has reached, never unmapped (a transfer may
// still be using one while the machine is switched). An entry is claimed
// by an increment and published by storing its machine last.
struct Attached {
    std::atomic<const Machine *> machine;
    char name[memory_name_capacity];
    std::size_t size;
    std::atomic<std::uint8_t> *bytes; // null: refused, told once
};
constexpr std::size_t attached_capacity = 64;
constinit Attached attached[attached_capacity]{};
constinit std::atomic<std::size_t> attached_claimed{0};
constinit std::atomic<unsigned> temporary_counter{0};

// A path built in a fixed buffer: no allocation on the transfer path.
struct PathText {
    char text[PATH_MAX] = {};
    std::size_t length = 0;
    bool fits = true;

    PathText &add(std::string_view part)
    {
        if (length + part.size() >= sizeof text) {
            fits = false;
            return *this;
        }
        std::memcpy(text + length, part.data(), part.size());
        length += part.size();
        text[length] = '\0';
        return *this;
    }
    PathText &add_number(std::uint64_t value)
    {
        char digits[24];
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0)
            add(std::string_view(&digits[--count], 1));
        return *this;
    }
};

std::string_view name_of(const MemoryNeed &need)
{
    return {need.name, ::strnlen(need.name, sizeof need.name)};
}

void tell_refused(const PathText &path, const char *why)
{
    Line line;
    tell(line.text("cannot use the memory file ")
             .text(path.text)
             .text(": ")
             .text(why)
             .text("; the device's memory is left out"));
}

std::atomic<std::uint8_t> *map_anonymous(const MemoryNeed &need)
{
    void *mapped =
        ::mmap(nullptr, need.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    if (need.fill != 0)
        std::memset(mapped, need.fill, need.size);
    return static_cast<std::atomic<std::uint8_t> *>(mapped);
}

// Makes the memory file through a temporary file linked into place once
// filled, so that no process maps one half made. Another process making it
// first is no failure.
void create_memory_file(const PathText &path, const MemoryNeed &need)
{
    PathText temporary;
    temporary.add(path.text).add(".new-").add_number(static_cast<std::uint64_t>(::getpid()));
    temporary.add("-").add_number(temporary_counter.fetch_add(1));
    if (!temporary.fits)
        return;
    const int fd =
        ::open(temporary.text, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0)
        return;
    if (::ftruncate(fd, static_cast<off_t>(need.size)) == 0 && need.fill != 0) {
        void *mapped = ::mmap(nullptr, need.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapped != MAP_FAILED) {
            std::memset(mapped, need.fill, need.size);
            ::munmap(mapped, need.size);
        }
    }
    ::close(fd);
    [[maybe_unused]] const int linked = ::link(temporary.text, path.text);
    ::unlink(temporary.text);
}

std::atomic<std::uint8_t> *map_file(const char *machine_path, const MemoryNeed &need)
{
    PathText path;
    path.add(machine_path).add(".memory-").add(name_of(need));
    if (!path.fits) {
        tell_refused(path, "its path is too long");
        return nullptr;
    }
    constexpr int flags = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    int fd = ::open(path.text, flags);
    if (fd < 0 && errno == ENOENT) {
        create_memory_file(path, need);
        fd = ::open(path.text, flags);
    }
    if (fd < 0) {
        tell_refused(path, errno == ELOOP
                               ? "it is a symbolic link; a memory file is used only as itself"
                               : strerrordesc_np(errno));
        return nullptr;
    }
    struct stat about {};
    const char *why = nullptr;
    if (::fstat(fd, &about) != 0)
        why = strerrordesc_np(errno);
    else if (!S_ISREG(about.st_mode))
        why = "not a regular file";
    else if (about.st_uid != ::geteuid())
        why = "it belongs to another user; a memory file is used only by its owner";
    else if ((about.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        why = "other users may read or write it; a memory file must have mode 0600";
    else if (about.st_size != static_cast<off_t>(need.size))
        why = "it is not of the memory's size";
    void *mapped = MAP_FAILED;
    if (why == nullptr) {
        mapped = ::mmap(nullptr, need.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED)
            why = strerrordesc_np(errno);
    }
    ::close(fd);
    if (why != nullptr) {
        tell_refused(path, why);
        return nullptr;
    }
    return static_cast<std::atomic<std::uint8_t> *>(mapped);
}

} // namespace

DeviceMemory memory_of(const Machine &machine, const MemoryNeed &need)
{
    const std::string_view name = name_of(need);
    const std::size_t claimed = std::min(attached_claimed.load(), attached_capacity);
    for (std::size_t i = 0; i < claimed; ++i) {
        const Attached &entry = attached[i];
        if (entry.machine.load(std::memory_order_acquire) == &machine && entry.size == need.size &&
            name == entry.name)
            return {entry.bytes, entry.bytes == nullptr ? 0 : entry.size};
    }
    // The memory of a machine other than the active one is not reached: its
    // path is the active machine's.
    if (&machine != active_machine() || need.size == 0 || need.size > memory_size_limit)
        return {nullptr, 0};
    const std::size_t index = attached_claimed.fetch_add(1);
    if (index >= attached_capacity) {
        attached_claimed.store(attached_capacity);
        return {nullptr, 0};
    }
    Attached &entry = attached[index];
    const char *path = machine_file_path();
    entry.bytes = path == nullptr ? map_anonymous(need) : map_file(path, need);
    entry.size = need.size;
    name.copy(entry.name, sizeof entry.name - 1);
    entry.machine.store(&machine, std::memory_order_release);
    return {entry.bytes, entry.bytes == nullptr ? 0 : entry.size};
}

bool machine_memory(Machine &machine, std::size_t index, MemoryNeed &need)
{
    for (DeviceSlot &slot : machine.slots) {
        const DeviceType *type = type_of(slot);
        if (type == nullptr || type->memory == nullptr)
            continue;
        need = {};
        if (!type->memory(machine, slot, need))
            continue;
        if (index-- == 0)
            return true;
    }
    return false;
}

void attach_machine_memories(Machine &machine)
{
    MemoryNeed need{};
    for (std::size_t index = 0; machine_memory(machine, index, need); ++index)
        memory_of(machine, need);
}

} // namespace qport::sim
