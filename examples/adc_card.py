#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""An 8-channel ADC card, ADC0809-like, at 0x300 on the shared machine that
QPORT_SIM_MACHINE names, served to every program on it until Ctrl-C or
SIGTERM. Writing a channel (0..7) to 0x300 starts a conversion; 0x300 reads
bit 7 (EOC) set once it is done, 0x301 the result. On its inputs: channel N
at N * 0.625 V, against a 5 V reference."""
import signal
import sys

import qport

BASE = 0x300


class AdcCard:
    def __init__(self):
        self.channel = 0

    def read(self, port):
        if port == BASE:
            return 0x80  # EOC: a conversion here is done at once
        return round(self.channel * 0.625 / 5 * 255)

    def write(self, port, value):
        if port == BASE:
            self.channel = value & 7


signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
qport.sim.serve(BASE, 2, AdcCard())
