// SPDX-License-Identifier: LGPL-2.1-or-later
#include "process_hygiene.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include <dlfcn.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qport::process {
namespace {

constexpr long all_ports = 0x10000;

// libc wraps neither capget nor capset.
struct Capabilities {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
};

int errno_or(int fallback) noexcept { return errno != 0 ? errno : fallback; }

bool read_capabilities(Capabilities &capabilities) noexcept
{
    return ::syscall(SYS_capget, &capabilities.header, capabilities.data) == 0;
}

bool write_capabilities(Capabilities &capabilities) noexcept
{
    return ::syscall(SYS_capset, &capabilities.header, capabilities.data) == 0;
}

bool holds(const Capabilities &capabilities, unsigned capability) noexcept
{
    const std::uint32_t bit = 1U << (capability % 32);
    const __user_cap_data_struct &word = capabilities.data[capability / 32];
    return ((word.effective | word.permitted | word.inheritable) & bit) != 0;
}

bool holds_any(const Capabilities &capabilities) noexcept
{
    return std::any_of(std::begin(capabilities.data), std::end(capabilities.data),
                       [](const __user_cap_data_struct &word) {
                           return (word.effective | word.permitted | word.inheritable) != 0;
                       });
}

bool in_bounding_set(unsigned long capability) noexcept
{
    return ::prctl(PR_CAPBSET_READ, capability, 0, 0, 0) == 1;
}

bool no_new_privs() noexcept { return ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1; }

} // namespace

int give_up_port_permission() noexcept
{
    if (::syscall(SYS_ioperm, 0L, all_ports, 0L) != 0 && errno != ENOSYS)
        return errno_or(EPERM);
    if (::syscall(SYS_iopl, 0L) != 0 && errno != ENOSYS)
        return errno_or(EPERM);
    return 0;
}

int empty_bounding_set() noexcept
{
    // PR_CAPBSET_READ fails past the last capability this kernel knows.
    for (unsigned long capability = 0; ::prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0;
         ++capability) {
        if (!in_bounding_set(capability) || ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) == 0)
            continue;
        if (errno == EPERM)
            return 0;
        return errno_or(EPERM);
    }
    return 0;
}

int drop_every_capability() noexcept
{
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return errno_or(EPERM);
    if (const int error = empty_bounding_set(); error != 0)
        return error;
    // Older kernels have no ambient set, and then nothing in it.
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    Capabilities none;
    if (!write_capabilities(none))
        return errno_or(EPERM);

    Capabilities now;
    if (!read_capabilities(now))
        return errno_or(EPERM);
    bool bounding_set_empty = true;
    for (unsigned long capability = 0; ::prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0;
         ++capability)
        bounding_set_empty = bounding_set_empty && !in_bounding_set(capability);
    if (holds_any(now) || !no_new_privs() || (::geteuid() == 0 && !bounding_set_empty))
        return EPERM;
    return 0;
}

int drop_capability(unsigned capability) noexcept
{
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, capability, 0, 0);
    // Where the bounding set cannot be lowered (no CAP_SETPCAP),
    // no_new_privs keeps any program this thread executes from gaining the
    // capability through set-user-ID bits or file capabilities.
    if (in_bounding_set(capability) && ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 &&
        ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return errno_or(EPERM);

    Capabilities capabilities;
    if (!read_capabilities(capabilities))
        return errno_or(EPERM);
    if (holds(capabilities, capability)) {
        const std::uint32_t clear = ~(1U << (capability % 32));
        __user_cap_data_struct &word = capabilities.data[capability / 32];
        word.effective &= clear;
        word.permitted &= clear;
        word.inheritable &= clear;
        if (!write_capabilities(capabilities))
            return errno_or(EPERM);
    }
    Capabilities now;
    if (!read_capabilities(now) || holds(now, capability) ||
        ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, capability, 0, 0) == 1 ||
        (in_bounding_set(capability) && !no_new_privs()))
        return EPERM;
    return 0;
}

bool display_missing() noexcept
{
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0' && std::string_view(platform) != "xcb")
        return false;
    const char *display = std::getenv("DISPLAY");
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    return (display == nullptr || *display == '\0') && (wayland == nullptr || *wayland == '\0');
}

std::string own_path()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path)
        return {};
    return {path, static_cast<std::size_t>(length)};
}

std::string loaded_object_path(const void *address)
{
    Dl_info info{};
    if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr)
        return {};
    return info.dli_fname;
}

std::string installed_file_path(const std::string &object, const char *relative,
                                const char *configured)
{
    char real_object[PATH_MAX];
    if (object.empty() || ::realpath(object.c_str(), real_object) == nullptr)
        return configured;
    // The real directory first: a library reached through a symbolic link
    // (/lib to /usr/lib, a package manager's farm of links) keeps its files
    // beside where it really lies.
    std::string beside = real_object;
    beside.resize(beside.rfind('/') + 1);
    beside += relative;
    char found[PATH_MAX];
    struct stat status {};
    if (::realpath(beside.c_str(), found) == nullptr || ::stat(found, &status) != 0 ||
        !S_ISREG(status.st_mode))
        return configured;
    return found;
}

} // namespace qport::process
