/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* qport extension API: ask whether port access is granted, why not, and
 * show the library's notices your own way. Usable from C and C++.
 *
 * Strings returned here are owned by the library; never free them. */
#ifndef QPORT_EXT_H
#define QPORT_EXT_H

/* NOLINTNEXTLINE(modernize-deprecated-headers): a C header */
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Whether the calling thread may make port transfers, and if not, why. */
enum qport_access {
    QPORT_ACCESS_GRANTED = 0,
    /* The process lacks CAP_SYS_RAWIO (EPERM): not root, no file capability,
     * or a container that dropped it. */
    QPORT_ACCESS_NO_PRIVILEGE = 1,
    /* The process runs in a user namespace, where the kernel refuses port
     * access even to its root (EPERM). */
    QPORT_ACCESS_USER_NAMESPACE = 2,
    /* The kernel is locked down, as Secure Boot makes it (EPERM). */
    QPORT_ACCESS_LOCKDOWN = 3,
    /* The kernel offers no port access to programs (ENOSYS): built without
     * CONFIG_X86_IOPL_IOPERM, or a sandbox that does not pass it on. */
    QPORT_ACCESS_NO_KERNEL_SUPPORT = 4,
    /* The processor is not an x86 and has no I/O port space. The library is
     * built for x86 alone, so only the simulated build gives this, when
     * asked to (QPORT_SIM_REFUSE=not-x86). */
    QPORT_ACCESS_NOT_X86 = 5,
    /* The kernel refused for another reason; see qport_access_errno(). */
    QPORT_ACCESS_OTHER = 6,
    /* The calling thread gave its access up with qport_drop_access(). */
    QPORT_ACCESS_DROPPED = 7,
    /* The kernel refused direct port access, for any of the reasons above
     * (no CAP_SYS_RAWIO, a user namespace, lockdown, no kernel support, or
     * another), but this process may open a parallel port's /dev/parportN:
     * 8-bit transfers on that port's data, status and control registers go
     * through the kernel's parport driver (ppdev), and on a port with EPP so
     * do transfers on its EPP address register (8-bit) and data registers
     * (8-, 16- or 32-bit within them, one EPP cycle a byte). Everything else
     * is refused. qport_direct_access_status() tells the kernel's reason,
     * qport_parport_routes() and qport_parport_reaches() what is reached. */
    QPORT_ACCESS_PARPORT_ONLY = 8
};

/* What reads return when a transfer is refused: all bits set, as a port
 * with no device behind it reads. */
#define QPORT_REFUSED_READ (-1)

/* The calling thread's access. Never blocks.
 *
 * Linux keeps port permission per thread. The library asks for all ports
 * when it is loaded, on the thread that loads it. A process that had only
 * that one thread then (every program linked against the library) hands the
 * permission to each thread it creates later, so those threads transfer
 * without asking the kernel again, even after the program has given up the
 * capability that obtained it. Threads that already existed when the library
 * was loaded with dlopen, and every thread created after some thread called
 * qport_drop_access(), have no permission handed down that the library can
 * be sure of: each asks the kernel for itself on its first transfer or here,
 * which needs CAP_SYS_RAWIO at that moment. Call this before the first
 * transfer to learn the outcome without a notice. */
enum qport_access qport_access_status(void);

/* The calling thread's direct access to all ports, which the parallel port
 * route is not: the same as qport_access_status(), except that where that
 * gives QPORT_ACCESS_PARPORT_ONLY this gives the kernel's reason for refusing
 * direct access (QPORT_ACCESS_NO_PRIVILEGE, _USER_NAMESPACE, _LOCKDOWN,
 * _NO_KERNEL_SUPPORT or _OTHER). Never blocks. */
enum qport_access qport_direct_access_status(void);

/* The errno of the refused request for direct access (EPERM, ENOSYS, ...),
 * also when the parallel port route is taken (QPORT_ACCESS_PARPORT_ONLY); 0
 * when granted or when no request could be made (not an x86). */
int qport_access_errno(void);

/* A text for the user about the calling thread's access: what was refused,
 * why, and how to fix it; a short confirmation when granted. Valid until the
 * calling thread calls this function again. */
const char *qport_access_message(void);

/* Shows a notice: a title and a text with a single OK, owned by no window.
 * It blocks until the user dismisses the notice, then returns 1; it returns
 * 0 if the notice could not be shown. */
/* NOLINTNEXTLINE(modernize-use-using): a C header */
typedef int (*qport_presenter)(const char *title, const char *text, void *user_data);

/* Installs the presenter for every notice the library shows, from any
 * thread; NULL restores the default. user_data is handed to it unchanged. */
void qport_set_presenter(qport_presenter presenter, void *user_data);

/* The default presenter: writes the title and the text to standard error.
 * When standard input and standard error are both terminals, so that the
 * user sees the prompt, it then waits for Enter and returns 1; otherwise it
 * returns 0 at once, so it never waits for nobody. */
int qport_default_presenter(const char *title, const char *text, void *user_data);

/* Gives up the calling thread's port access for good: the kernel's
 * permission for every port is cleared (no privilege is needed for that) and
 * the thread's later transfers are refused with QPORT_ACCESS_DROPPED.
 *
 * The permission survives exec: a program started by a thread that holds it
 * may use every port. A program that runs other programs must call this
 * first, in the child between fork and exec (it is async-signal-safe). Threads
 * created afterwards by any thread ask the kernel for themselves.
 * Returns 0, or -1 with errno set when the kernel would not clear it. */
int qport_drop_access(void);

/* Gives up every capability of the calling thread for good, keeping the port
 * access it already holds: sets no_new_privs (nothing it executes gains
 * privileges through set-user-ID bits or file capabilities), clears the
 * ambient set, empties the bounding set where the process may (root may),
 * and empties the effective, permitted and inheritable sets; then checks
 * that none is left. A program given CAP_SYS_RAWIO only so that the library
 * obtains access at load calls it first thing in main, while it has one
 * thread (capabilities belong to threads). It does not change the user:
 * root stays uid 0. Async-signal-safe.
 * Returns 0, or -1 with errno set (EPERM: a capability is still held). */
int qport_drop_privileges(void);

/* Shows a notice through the installed presenter (see qport_set_presenter),
 * as the library shows its own, and returns the presenter's answer. */
int qport_show_notice(const char *title, const char *text);

/* "hardware" for the build that executes port instructions, "simulated" for
 * the build that acts on an in-memory port space. */
const char *qport_backend(void);

/* A parallel port reached without direct access, through the kernel's
 * parport driver (ppdev): its data register at first_port, status at
 * first_port + 1 and control at last_port = first_port + 2. A port with EPP
 * also has its EPP address register at first_port + 3 and its data registers
 * at first_port + 4 to first_port + 7, which this struct does not count:
 * qport_parport_reaches(first_port + 3, 8) tells whether the route reaches
 * them. */
struct qport_parport_route {
    unsigned short first_port;
    unsigned short last_port;
    /* The device the transfers go through, "/dev/parport0"; NUL-terminated. */
    char device[64];
};

/* The parallel ports the calling thread reaches this way: copies up to
 * capacity of them into out (which may be NULL when capacity is 0) and
 * returns how many there are, which may be more than capacity. 0 unless
 * qport_access_status() is QPORT_ACCESS_PARPORT_ONLY: with full access no
 * route is needed, and the simulated build has none. The first call (or the
 * first transfer or status query) opens the devices; the library keeps them
 * open, close-on-exec, until the process ends. Never sets errno. */
size_t qport_parport_routes(struct qport_parport_route *out, size_t capacity);

/* 1 when a transfer of width_bits (8, 16 or 32) at port goes through one of
 * those routes for the calling thread, 0 when it would be refused: 0 for
 * every port unless qport_access_status() is QPORT_ACCESS_PARPORT_ONLY. A
 * route makes 8-bit transfers on a port's data, status and control registers,
 * and on a port with EPP (its modes in /proc/sys/dev/parport/parportN/modes
 * list EPP) 8-bit transfers on the EPP address register (an address cycle)
 * and 8-, 16- and 32-bit ones within its data registers (a data cycle a byte,
 * lowest first, as the hardware makes them). When the peripheral stops
 * answering, the kernel ends the transfer: the cycles not made read as all
 * ones, and bit 0 of the status register (the EPP timeout) is set until the
 * next status read shows it or a write to status clears it, as on the
 * hardware. Never sets errno. */
int qport_parport_reaches(unsigned short port, unsigned width_bits);

#ifdef __cplusplus
}
#endif

#endif
