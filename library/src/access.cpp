// SPDX-License-Identifier: LGPL-2.1-or-later
// What a caller and the user learn about port access: the status API, the
// texts that explain a refusal, and the once-per-process refusal notices.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qport_ext.h"

#include "backend.h"
#include "internal.h"

namespace qport {
namespace {

constexpr const char *refused_title = "Port access refused";
constexpr const char *refused_outcome =
    "No port transfer was made: reads return -1 (all bits set) and writes are dropped.";

std::atomic<bool> told_access_refused{false};
std::atomic<bool> told_past_last_port{false};

// Where the installed documentation explains giving a program port access,
// and whom to let run it first: on a line of its own, indented as a notice
// keeps a path whole.
constexpr const char *real_access_doc = "    " QPORT_REAL_ACCESS_DOC;

std::string why_and_how(const Access &access)
{
    switch (access.cause) {
    case QPORT_ACCESS_GRANTED:
        return "";
    case QPORT_ACCESS_NO_PRIVILEGE:
    case QPORT_ACCESS_PARPORT_ONLY:
        return std::string("The kernel refused access to the I/O ports (EPERM): this process "
                           "lacks the CAP_SYS_RAWIO capability.\n\nRun the program as root. "
                           "Port access is root power: before giving the program the capability "
                           "instead, restrict who may run it, as explained in\n") +
               real_access_doc + "\nA container must be started with CAP_SYS_RAWIO as well.";
    case QPORT_ACCESS_USER_NAMESPACE:
        return std::string("The kernel refused access to the I/O ports (EPERM): this process "
                           "runs in a user namespace (a container or sandbox), where even its "
                           "root may not use the hardware's ports.\n\nRun the program outside "
                           "the container, as root, or with the capability given as explained "
                           "in\n") +
               real_access_doc;
    case QPORT_ACCESS_LOCKDOWN: {
        const std::string mode = backend::lockdown_mode();
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
    case QPORT_ACCESS_DROPPED:
        return "This thread gave up its access to the I/O ports (qport_drop_access), so "
               "that nothing it runs can use them.";
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
    if (access.cause == QPORT_ACCESS_PARPORT_ONLY)
        return parport_access_text() + "\n\n" + why_and_how(access);
    return why_and_how(access) + "\n\n" + refused_outcome;
}

} // namespace

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

extern "C" QPORT_EXPORT int qport_drop_access(void) { return qport::backend::drop_thread_access(); }

extern "C" QPORT_EXPORT const char *qport_backend(void) { return qport::backend::name(); }
