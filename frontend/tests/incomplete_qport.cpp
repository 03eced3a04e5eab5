// SPDX-License-Identifier: LGPL-2.1-or-later
// A libqport.so.1 that lacks outportb(short, char) and has everything else
// Quorrel imports: the program must refuse to start against it. Nothing
// here touches a port.
#include "qport.h"
#include "qport_ext.h"

int inport(short) { return 0; }
short inportw(short) { return 0; }
qport_byte_result inportb(short) { return 0; }
void outport(short, int) {}
void outportw(short, short) {}
int Message() { return 1; }

extern "C" {
enum qport_access qport_access_status(void) { return QPORT_ACCESS_GRANTED; }
const char *qport_access_message(void) { return ""; }
void qport_set_presenter(qport_presenter, void *) {}
int qport_default_presenter(const char *, const char *, void *) { return 1; }
int qport_show_notice(const char *, const char *) { return 1; }
}
