// SPDX-License-Identifier: LGPL-2.1-or-later
#include "refusal_causes.h"

#include <cerrno>
#include <algorithm>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

namespace qport {
namespace {

constexpr unsigned cap_sys_rawio = 17;

// The first few kilobytes of a file of the kernel's; "" if it cannot be read.
std::string file_text(const char *path)
{
    std::string text;
    const int file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(file, buffer, sizeof buffer)) > 0 && text.size() < 16384)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(file);
    return text;
}

} // namespace

std::string parse_lockdown_mode(std::string_view text)
{
    const auto open = text.find('[');
    const auto close = text.find(']', open);
    if (open == std::string_view::npos || close == std::string_view::npos)
        return "";
    const std::string_view active = text.substr(open + 1, close - open - 1);
    return active == "none" ? "" : std::string(active);
}

bool uid_map_is_user_namespace(std::string_view text)
{
    std::istringstream map{std::string(text)};
    unsigned long inside = 0, outside = 0, count = 0;
    if (!(map >> inside >> outside >> count))
        return false;
    // The initial namespace has exactly the one identity line.
    std::string more;
    const bool one_line = !(map >> more);
    return !(one_line && inside == 0 && outside == 0 && count == 4294967295UL);
}

bool status_has_effective_capability(std::string_view status, unsigned capability)
{
    constexpr std::string_view key = "CapEff:";
    std::size_t line_start = 0;
    while (line_start < status.size()) {
        const std::size_t line_end = std::min(status.find('\n', line_start), status.size());
        const std::string_view line = status.substr(line_start, line_end - line_start);
        if (line.substr(0, key.size()) == key) {
            std::string_view digits = line.substr(key.size());
            while (!digits.empty() && (digits.front() == ' ' || digits.front() == '\t'))
                digits.remove_prefix(1);
            // Sixteen hex digits, the highest capability first. (Parsed
            // here: std::from_chars would export a table of its own from the
            // library.)
            const std::size_t hex_digits = digits.find_first_not_of("0123456789abcdefABCDEF");
            const std::size_t length = std::min(hex_digits, digits.size());
            if (length == 0 || capability / 4 >= length)
                return false;
            const char digit = digits[length - 1 - capability / 4];
            const unsigned value = digit <= '9'   ? static_cast<unsigned>(digit - '0')
                                   : digit <= 'F' ? static_cast<unsigned>(digit - 'A' + 10)
                                                  : static_cast<unsigned>(digit - 'a' + 10);
            return ((value >> (capability % 4)) & 1U) != 0;
        }
        line_start = line_end + 1;
    }
    return false;
}

std::string current_lockdown_mode()
{
    return parse_lockdown_mode(file_text("/sys/kernel/security/lockdown"));
}

qport_access classify_refusal(int error)
{
    switch (error) {
    case ENOSYS:
        return QPORT_ACCESS_NO_KERNEL_SUPPORT;
    case EPERM:
        if (!current_lockdown_mode().empty())
            return QPORT_ACCESS_LOCKDOWN;
        if (uid_map_is_user_namespace(file_text("/proc/self/uid_map")))
            return QPORT_ACCESS_USER_NAMESPACE;
        if (!status_has_effective_capability(file_text("/proc/self/status"), cap_sys_rawio))
            return QPORT_ACCESS_NO_PRIVILEGE;
        return QPORT_ACCESS_OTHER;
    default:
        return QPORT_ACCESS_OTHER;
    }
}

} // namespace qport
