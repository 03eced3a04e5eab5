// What a caller and the user learn about port access: the status API, the
// texts that explain a refusal, and the once-per-process refusal notices.
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "qport_ext.h"

#include "internal.h"

namespace qport {
namespace {

constexpr const char *refused_title = "Port access refused";
constexpr const char *refused_outcome =
    "No port transfer was made: reads return -1 (all bits set) and writes are dropped.";

std::atomic<bool> told_access_refused{false};
std::atomic<bool> told_past_last_port{false};

std::string read_first_line(const char *path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

std::string this_program()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return "PROGRAM";
    return std::string(path, static_cast<std::size_t>(length));
}

std::string why_and_how(const Access &access)
{
    const std::string setcap = "    sudo setcap cap_sys_rawio+ep " + this_program() + "\n";
    switch (access.cause) {
    case QPORT_ACCESS_GRANTED:
        return "";
    case QPORT_ACCESS_NO_PRIVILEGE:
        return "The kernel refused access to the I/O ports (EPERM): this process lacks the "
               "CAP_SYS_RAWIO capability.\n\nRun the program as root, or give it that "
               "capability once:\n" +
               setcap + "A container must be started with CAP_SYS_RAWIO as well.";
    case QPORT_ACCESS_USER_NAMESPACE:
        return "The kernel refused access to the I/O ports (EPERM): this process runs in a "
               "user namespace (a container or sandbox), where even its root may not use "
               "the hardware's ports.\n\nRun the program outside the container, as root or "
               "with the capability given once:\n" +
               setcap;
    case QPORT_ACCESS_LOCKDOWN: {
        const std::string mode = lockdown_mode();
        return "The kernel refused access to the I/O ports (EPERM): the kernel is locked "
               "down" +
               (mode.empty() ? std::string() : " (" + mode + " mode)") +
               ", which forbids port access even to root. Secure Boot turns lockdown "
               "on.\n\nTurn Secure Boot off in the firmware set-up (or run 'sudo mokutil "
               "--disable-validation' and confirm at the next boot), then start the "
               "program as root or with CAP_SYS_RAWIO.";
    }
    case QPORT_ACCESS_NO_KERNEL_SUPPORT:
        return "The kernel offers no access to the I/O ports (ENOSYS): it was built without "
               "CONFIG_X86_IOPL_IOPERM, or the program runs in a sandbox or virtual machine "
               "that does not pass port access on.\n\nRun the program on the machine that "
               "has the ports, with a kernel built with CONFIG_X86_IOPL_IOPERM=y (the usual "
               "distribution kernels are), as root or with CAP_SYS_RAWIO.";
    case QPORT_ACCESS_NOT_X86:
        return "This processor is not an x86: it has no I/O port space.\n\nRun the program "
               "on an x86 PC.";
    case QPORT_ACCESS_OTHER:
        break;
    }
    return std::string("The kernel refused access to the I/O ports: ") +
           std::strerror(access.error) +
           ".\n\nCheck that the program runs as root or with CAP_SYS_RAWIO, and that no "
           "security module forbids port access.";
}

std::string access_message(const Access &access)
{
    if (access.cause == QPORT_ACCESS_GRANTED)
        return std::string("Port access is granted for ports 0x0000 to 0xFFFF (") +
               backend::name() + " build).";
    return why_and_how(access) + "\n\n" + refused_outcome;
}

} // namespace

std::string lockdown_mode()
{
    // The active mode is the one in brackets: "none [integrity] confidentiality".
    const std::string modes = read_first_line("/sys/kernel/security/lockdown");
    const auto open = modes.find('[');
    const auto close = modes.find(']', open);
    if (open == std::string::npos || close == std::string::npos)
        return "";
    const std::string active = modes.substr(open + 1, close - open - 1);
    return active == "none" ? "" : active;
}

bool in_user_namespace()
{
    // The initial namespace maps every uid onto itself.
    std::istringstream map(read_first_line("/proc/self/uid_map"));
    unsigned long inside = 0, outside = 0, count = 0;
    if (!(map >> inside >> outside >> count))
        return false;
    return !(inside == 0 && outside == 0 && count == 4294967295UL);
}

bool has_rawio_capability()
{
    constexpr unsigned cap_sys_rawio = 17;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0)
            return (std::strtoull(line.c_str() + 7, nullptr, 16) >> cap_sys_rawio) & 1U;
    }
    return false;
}

bool obtain_thread_access()
{
    const Access access = backend::thread_access();
    if (access.cause == QPORT_ACCESS_GRANTED)
        return true;
    if (!told_access_refused.exchange(true))
        present_notice(refused_title, access_message(access).c_str());
    return false;
}

void tell_past_last_port(unsigned width_bits, std::uint16_t port)
{
    if (!told_past_last_port.exchange(true)) {
        char text[320];
        std::snprintf(text, sizeof text,
                      "A %u-bit transfer at port 0x%04X would reach past the last port, "
                      "0xFFFF, which the processor does not allow.\n\n%s",
                      width_bits, static_cast<unsigned>(port), refused_outcome);
        present_notice("Transfer refused", text);
    }
}

// The simulated build's reset brings the once-per-process notices back, so
// that a program (a test suite above all) can start over in one process.
void forget_told_notices()
{
    told_access_refused = false;
    told_past_last_port = false;
}

} // namespace qport

extern "C" QPORT_EXPORT qport_access qport_access_status(void)
{
    return qport::backend::thread_access().cause;
}

extern "C" QPORT_EXPORT int qport_access_errno(void)
{
    return qport::backend::thread_access().error;
}

extern "C" QPORT_EXPORT const char *qport_access_message(void)
{
    thread_local std::string message;
    message = qport::access_message(qport::backend::thread_access());
    return message.c_str();
}

extern "C" QPORT_EXPORT const char *qport_backend(void) { return qport::backend::name(); }
