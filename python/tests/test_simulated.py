# SPDX-License-Identifier: LGPL-2.1-or-later
"""qport.sim: presets, the record of transfers, the trace and refusals."""

import threading

import pytest

import qport

# (port, preset, what an 8-bit read gives then): the model's registers.
PRESETS = [
    (0x378, 0xA5, 0xA5),  # data latch
    (0x379, 0x12, 0x12),  # status register
    (0x37A, 0x00, 0xE0),  # control: bits 5..7 read as ones
    (0x300, -1, 0xFF),  # unbacked, value in the signed form
    (-1, 0x5A, 0x5A),  # port 0xFFFF in the short form
]


@pytest.mark.parametrize("port, preset, read", PRESETS)
def test_preset_and_peek_record_no_transfer(port, preset, read):
    qport.sim.preset(port, preset)
    assert qport.sim.peek(port) == read
    assert qport.sim.transfers() == []
    qport.sim.reset()
    assert qport.sim.peek(0x379) == 0x7F


def test_transfers_are_named_tuples_oldest_first():
    qport.outportw(0x378, 0x1234)
    qport.inportb(0x379)
    first, second = qport.sim.transfers()
    assert first[1:] == ("out", 16, 0x378, 0x1234)
    assert (second.direction, second.width_bits, second.port, second.value) == ("in", 8, 0x379, 0x7F)
    assert first.time_ns <= second.time_ns
    qport.sim.clear_transfers()
    assert qport.sim.transfers() == []


def test_trace_goes_to_a_path_until_stopped(tmp_path):
    trace = tmp_path / "trace"
    qport.sim.trace_to(trace)
    qport.outportb(0x378, 0x55)
    qport.sim.trace_to(None)
    qport.inportb(0x378)
    assert [line.split()[1:] for line in trace.read_text().splitlines()] == [
        ["out", "8", "0x0378", "0x55"]
    ]


def test_trace_to_an_unwritable_place_is_an_os_error(tmp_path):
    with pytest.raises(FileNotFoundError) as raised:
        qport.sim.trace_to(tmp_path / "missing" / "trace")
    assert raised.value.filename == tmp_path / "missing" / "trace"


def test_transfers_are_recorded_only_while_recording_is_on():
    qport.sim.record_transfers(False)
    qport.outportb(0x378, 1)
    qport.sim.record_transfers(True)
    qport.outportb(0x378, 2)
    assert [t.value for t in qport.sim.transfers()] == [2]


# What the kernel may answer; PARPORT_ONLY and DROPPED are the library's
# own states, never an answer.
LIBRARY_STATES = (qport.Access.PARPORT_ONLY, qport.Access.DROPPED)
REFUSALS = [c for c in qport.Access if c is not qport.Access.GRANTED and c not in LIBRARY_STATES]


@pytest.mark.parametrize("cause", REFUSALS)
def test_refused_access_is_told_and_transfers_nothing(cause):
    qport.sim.refuse(cause)
    assert qport.access_status() is cause
    assert qport.access_message() != ""
    assert qport.inportb(0x379) == qport.REFUSED_READ
    qport.outportb(0x378, 1)
    assert qport.sim.transfers() == []
    qport.sim.refuse(qport.Access.GRANTED)
    assert qport.access_status() is qport.Access.GRANTED
    assert qport.access_errno() == 0


@pytest.mark.parametrize("cause", [99, *LIBRARY_STATES])
def test_refuse_takes_only_causes_the_kernel_gives(cause):
    with pytest.raises(ValueError):
        qport.sim.refuse(cause)
    assert qport.access_status() is qport.Access.GRANTED


@pytest.mark.parametrize("cause", [qport.Access.GRANTED] + REFUSALS)
def test_simulated_build_has_no_parport_route(cause):
    qport.sim.refuse(cause)
    assert qport.access_status() is not qport.Access.PARPORT_ONLY
    assert qport.direct_access_status() is cause
    assert qport.parport_routes() == []
    assert not any(qport.parport_reaches(0x378, width) for width in (8, 16, 32))


@pytest.mark.parametrize("width", [0, 7, 64, -8])
def test_parport_reaches_takes_only_transfer_widths(width):
    with pytest.raises(ValueError):
        qport.parport_reaches(0x378, width)


def test_a_thread_that_drops_its_access_is_refused_alone(presenter):
    seen = {}

    def drop():
        qport.drop_access()
        seen["status"] = qport.access_status()
        seen["read"] = qport.inportb(0x379)

    thread = threading.Thread(target=drop)
    thread.start()
    thread.join()
    assert seen == {"status": qport.Access.DROPPED, "read": qport.REFUSED_READ}
    assert qport.access_status() is qport.Access.GRANTED
    assert [t.port for t in qport.sim.transfers()] == []
