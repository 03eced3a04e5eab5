# SPDX-License-Identifier: LGPL-2.1-or-later
"""The PC's devices seen and set from Python: the hardware monitor's readings,
the embedded controller's memory and events, and resets made by transfers."""

import pytest

import qport


@pytest.fixture(autouse=True)
def fresh_machine():
    qport.sim.reset()
    yield
    qport.sim.reset()


def test_hardware_monitor_readings_in_real_units():
    qport.sim.set_device_property("hwmon", "temp1", 52)
    qport.outportb(0x295, 0x27)
    assert qport.inportb(0x296) == 52
    assert qport.sim.device_properties("hwmon")["temp1"] == "52.0 °C"
    with pytest.raises(ValueError):
        qport.sim.set_device_property("hwmon", "temp1", "200")
    with pytest.raises(KeyError):
        qport.sim.set_device_property("hwmon", "temp9", "20")
    with pytest.raises(KeyError):
        qport.sim.device_properties("floppy")


def test_embedded_controller_memory_and_events():
    qport.sim.set_device_property("ec", "memory-0x10", 0x42)
    qport.sim.set_device_property("ec", "event", 0x66)
    qport.outportb(0x66, 0x80)
    qport.outportb(0x62, 0x10)
    assert qport.inportb(0x62) == 0x42
    assert qport.inportb(0x66) & 0x20, "SCI_EVT while an event is queued"
    qport.outportb(0x66, 0x84)
    assert qport.inportb(0x62) == 0x66
    assert qport.sim.device_properties("ec")["events"] == "none"


def test_reset_line_counted():
    assert (qport.sim.reset_count(), qport.sim.last_reset_cause()) == (0, "none")
    qport.outportb(0x64, 0xFE)
    assert qport.sim.reset_count() == 1
    assert qport.sim.last_reset_cause() == "keyboard controller: 0xfe to 0x64"
