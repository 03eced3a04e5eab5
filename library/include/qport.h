// SPDX-License-Identifier: LGPL-2.1-or-later
// qport: direct access to the PC's I/O ports.
//
// This header is C++ only: a C compiler stops at the #error below. From C,
// qport_ext.h gives the access status and the notices; make the transfers
// from a C++ source file linked into the program.
//
// The eleven entry points below are exported under their C++ names, which
// carry their parameter types (inport(short) is _Z6inports). Bind them by
// those names; there are no plain C aliases.
//
// Port numbers are 16 bits held in a short: 0x0000..0x7FFF are 0..32767 and
// 0x8000..0xFFFF are -32768..-1. Every port number is accepted as it is.
//
// Reads hand their value back sign-extended: widen the result of inportw or
// inportb to int and you get -32768..32767 or -128..127.
//
// Access: the library asks the kernel for all 65536 ports when it is loaded.
// Linux keeps that permission per thread: in a program linked against the
// library, every thread it creates later inherits it and transfers without
// asking again, even after the program gave up its privileges; a thread that
// existed before a dlopen of the library asks for itself on its first
// transfer. The permission is root power and survives exec: a program that
// runs others gives it up first with qport_drop_access() (qport_ext.h).
// If the kernel refuses, no port instruction is ever executed: reads return
// all bits set (-1 at every width), writes are dropped, and the user is told
// once per process why, through a notice (see qport_ext.h to ask beforehand
// and to show notices your own way).
// Where it refuses (for want of CAP_SYS_RAWIO, under lockdown, in a user
// namespace, ...) and the process may open a parallel port's /dev/parportN
// (group lp), 8-bit transfers on that port's data, status and control
// registers, and its EPP registers where it has them, go through the kernel's
// parport driver instead (QPORT_ACCESS_PARPORT_ONLY in qport_ext.h).
//
// A 16-bit transfer at port 0xFFFF or a 32-bit one at 0xFFFD..0xFFFF would
// reach past the last port, which the processor faults on even with full
// permission. Those transfers are refused in the same way.
//
// Notices (Message, Error1 and the refusals) block the calling thread until
// the user dismisses them and return the presenter's answer: 1 once the
// notice was shown and dismissed, 0 if it could not be shown.
//
// Every entry point is safe to call from any thread. The library allocates
// nothing that the caller must free.
#ifndef QPORT_H
#define QPORT_H

#ifndef __cplusplus
#error "qport.h is C++; from C use qport_ext.h, and make the transfers from a C++ file"
#else

#include <climits>

#if CHAR_MIN < 0
// The 8-bit read result: plain char, which is signed here.
using qport_byte_result = char;
#else
// Plain char is unsigned with this compiler or these flags. The 8-bit read
// still yields -128..127; the exported name is the same either way, because a
// result type is not part of it.
using qport_byte_result = signed char;
#endif

// One 32-bit input from port; the 32 bits as a signed int.
int inport(short port);
// One 16-bit input from port; -32768..32767.
short inportw(short port);
// One 8-bit input from port; -128..127.
qport_byte_result inportb(short port);

// One 32-bit output of all 32 bits of value.
void outport(short port, int value);
// One 16-bit output of value.
void outportw(short port, short value);
// One 8-bit output of value.
void outportb(short port, char value);

// "DLL successfully called." titled "Operation Success!".
int Message();
// "This function is unavailable in this release." titled "Function unavailable!".
int Error1();

// Withheld: each makes its transfer first, then shows the Error1 notice.
// inpb and inpw always return 0; outpb returns the notice's answer.
int inpb(short port);
int inpw(short port);
int outpb(short port, char value);

#endif // __cplusplus
#endif
