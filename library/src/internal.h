// Internal interfaces shared by the library's sources.
#ifndef QPORT_INTERNAL_H
#define QPORT_INTERNAL_H

#include <cstdint>
#include <string>

#include "qport_ext.h"

#define QPORT_EXPORT __attribute__((visibility("default")))

namespace qport {

// The 16 bits of a port number, whatever the sign of the short that holds it.
inline std::uint16_t port_address(short port) { return static_cast<std::uint16_t>(port); }

// An access decision: the cause, and the errno of the request behind it.
struct Access {
    qport_access cause = QPORT_ACCESS_GRANTED;
    int error = 0;
};

// Backend: each build links exactly one of hardware_backend.cpp and
// simulated_backend.cpp. The hardware one's transfer functions are inline
// (backend_hardware.h), so that a transfer is its check and one instruction.
namespace backend {
// The calling thread's access, asking the kernel for it if this thread has
// not asked yet. Never executes a port instruction.
Access thread_access();
const char *name();
} // namespace backend

// Facts about the running system that explain a refusal.
// The kernel's lockdown mode ("integrity", "confidentiality"), or "" when it
// is off or cannot be read.
std::string lockdown_mode();
bool in_user_namespace();
bool has_rawio_capability();

// Shows a notice through the installed presenter and returns its answer.
int present_notice(const char *title, const char *text);

// Slow paths of the transfer check, each telling the user once per process
// about a refusal. obtain_thread_access() answers whether the calling thread
// may transfer after all; a transfer past the last port never may.
bool obtain_thread_access();
void tell_past_last_port(unsigned width_bits, std::uint16_t port);
// Lets each of the above tell once more (qport_sim_reset).
void forget_told_notices();

} // namespace qport

#endif
