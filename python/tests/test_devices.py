# SPDX-License-Identifier: LGPL-2.1-or-later
"""Devices on the simulated parallel port, driven through the module's own
transfers as a Python program drives them."""

import pytest

import qport

DATA, STATUS, CONTROL = 0x378, 0x379, 0x37A


def status():
    return qport.inportb(STATUS) & 0xFF


# (control, data, status): the plug wires status bit 4 = !control bit 0,
# bit 3 = data bit 0, bit 6 = control bit 2, bit 7 = control bit 3,
# bit 5 = !control bit 1; bits 0..2 read high.
LOOPBACK = [
    (0xEC, 0x00, 0xF7),  # at reset
    (0x00, 0xFE, 0x37),  # only data bit 0 is wired
    (0x11, 0x01, 0x2F),  # nor is control bit 4
    (0x02, 0x00, 0x17),
    (0x04, 0x00, 0x77),
    (0x0F, 0x55, 0xCF),
]


@pytest.mark.parametrize("control, data, wired", LOOPBACK)
def test_loopback_plug_wires_data_and_control_to_status(control, data, wired):
    qport.sim.set_device(qport.sim.Device.LOOPBACK)
    assert qport.sim.current_device() is qport.sim.Device.LOOPBACK
    qport.outportb(CONTROL, control)
    qport.outportb(DATA, data)
    assert status() == wired


def test_printer_takes_bytes_by_the_handshake_into_its_output(tmp_path):
    output = tmp_path / "printed"
    qport.sim.set_printer_output(output)
    qport.sim.set_device(qport.sim.Device.PRINTER)
    text = b"\x00Hi\xff"
    seen = []
    for byte in text:
        seen.append(status())
        qport.outportb(DATA, byte)
        qport.outportb(CONTROL, 0xED)  # nStrobe low
        seen.append(status())
        qport.outportb(CONTROL, 0xEC)
        seen.append(status())
    # Per byte: ready, busy once strobed, acknowledged once the strobe ends.
    assert seen == [0xDF, 0x5F, 0x1F] * len(text)
    assert (output.read_bytes(), qport.sim.printed_bytes()) == (text, len(text))
