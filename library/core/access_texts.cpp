// SPDX-License-Identifier: LGPL-2.1-or-later
#include "access_texts.h"

#include <cstring>

namespace qport {
namespace {

// Why the kernel refused direct access, and how to get it.
std::string why_and_how(qport_access cause, int error, const AccessFacts &facts)
{
    // On a line of its own, indented as a notice keeps a path whole.
    const std::string documentation = "    " + facts.documentation;
    // First of the remedies: most who meet a refusal want to see the
    // program run, and the simulated PC needs neither root nor hardware.
    const std::string without_hardware = "Try it without hardware: qport-run PROGRAM\n";
    switch (cause) {
    case QPORT_ACCESS_GRANTED:
    case QPORT_ACCESS_PARPORT_ONLY: // never the cause behind itself
        return "";
    case QPORT_ACCESS_NO_PRIVILEGE:
        return "The kernel refused access to the I/O ports (EPERM): this process lacks the "
               "CAP_SYS_RAWIO capability.\n\n" +
               without_hardware +
               "Run the program as root. Port access is root "
               "power: before giving the program the capability instead, restrict who may "
               "run it, as explained in\n" +
               documentation + "\nA container must be started with CAP_SYS_RAWIO as well.";
    case QPORT_ACCESS_USER_NAMESPACE:
        return "The kernel refused access to the I/O ports (EPERM): this process runs in a "
               "user namespace (a container or sandbox), where even its root may not use "
               "the hardware's ports.\n\n" +
               without_hardware +
               "Run the program outside the container, as root, or "
               "with the capability given as explained in\n" +
               documentation;
    case QPORT_ACCESS_LOCKDOWN:
        return "The kernel refused access to the I/O ports (EPERM): the kernel is locked "
               "down" +
               (facts.lockdown_mode.empty() ? std::string()
                                            : " (" + facts.lockdown_mode + " mode)") +
               ", which forbids port access even to root. Secure Boot turns lockdown "
               "on.\n\n" +
               without_hardware +
               "Turn Secure Boot off in the firmware set-up (or run 'sudo mokutil "
               "--disable-validation' and confirm at the next boot), then start the "
               "program as root or with CAP_SYS_RAWIO.";
    case QPORT_ACCESS_NO_KERNEL_SUPPORT:
        return "The kernel offers no access to the I/O ports (ENOSYS): it was built without "
               "CONFIG_X86_IOPL_IOPERM, or the program runs in a sandbox or virtual machine "
               "that does not pass port access on.\n\n" +
               without_hardware +
               "Run the program on the machine that "
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
    return std::string("The kernel refused access to the I/O ports: ") + std::strerror(error) +
           ".\n\n" + without_hardware +
           "Check that the program runs as root or with CAP_SYS_RAWIO, and that no "
           "security module forbids port access.";
}

} // namespace

std::string access_message(const Access &access, const AccessFacts &facts)
{
    if (access.cause == QPORT_ACCESS_GRANTED)
        return "Port access is granted for ports 0x0000 to 0xFFFF (" + facts.backend + " build).";
    const std::string why = why_and_how(access.direct_cause(), access.error, facts);
    if (access.cause == QPORT_ACCESS_PARPORT_ONLY)
        return facts.reachable + "\n\n" + why;
    return why + "\n\n" + refused_outcome;
}

} // namespace qport
