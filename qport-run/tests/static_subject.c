/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A statically linked program: no loader, so no preload can enter it. */
int main(void) { return 0; }
