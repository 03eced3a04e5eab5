# SPDX-License-Identifier: LGPL-2.1-or-later
"""Port numbers and values on their way in, and results on their way out."""

import ast
from pathlib import Path

import pytest

import _qport
import qport

UNBACKED = 0x300  # reads what it was preset to

# (read, port, bytes preset from the port up, result): each width's extremes
# and the sign boundary, and ports given in the negative short form.
READS = [
    (qport.inportb, UNBACKED, [0x7F], 127),
    (qport.inportb, UNBACKED, [0x80], -128),
    (qport.inportb, UNBACKED, [0xFF], -1),
    (qport.inportw, UNBACKED, [0xFF, 0x7F], 32767),
    (qport.inportw, UNBACKED, [0x00, 0x80], -32768),
    (qport.inportw, UNBACKED, [0x34, 0x12], 0x1234),
    (qport.inport, UNBACKED, [0xFF, 0xFF, 0xFF, 0x7F], 2**31 - 1),
    (qport.inport, UNBACKED, [0x00, 0x00, 0x00, 0x80], -(2**31)),
    (qport.inport, UNBACKED, [0x78, 0x56, 0x34, 0x12], 0x12345678),
    (qport.inportb, -1, [0x80], -128),
    (qport.inportw, -0x8000, [0x01, 0xFF], -255),
]


@pytest.mark.parametrize("read, port, preset, result", READS)
def test_reads_are_sign_extended(read, port, preset, result):
    for offset, byte in enumerate(preset):
        qport.sim.preset((port & 0xFFFF) + offset, byte)
    assert read(port) == result
    assert qport.sim.transfers()[-1].port == port & 0xFFFF


# (write, port, value, width, value recorded): values may be given signed or
# unsigned, and both mean the same bits.
WRITES = [
    (qport.outportb, 0x378, 0xFF, 8, 0xFF),
    (qport.outportb, 0x378, -128, 8, 0x80),
    (qport.outportw, 0x378, 0xFFFF, 16, 0xFFFF),
    (qport.outportw, 0x378, -1, 16, 0xFFFF),
    (qport.outport, 0x378, 0xFFFFFFFF, 32, 0xFFFFFFFF),
    (qport.outport, 0x378, -(2**31), 32, 0x80000000),
    (qport.outportb, -0x8000, 0x55, 8, 0x55),
    (qport.outportb, 0xFFFF, 0, 8, 0),
]


@pytest.mark.parametrize("write, port, value, width, recorded", WRITES)
def test_writes_take_signed_and_unsigned_values(write, port, value, width, recorded):
    write(port, value)
    assert qport.sim.transfers() == [
        qport.Transfer(qport.sim.transfers()[0].time_ns, "out", width, port & 0xFFFF, recorded)
    ]


class Index:
    """An int in disguise, as numpy's integers are."""

    def __index__(self):
        return 0x378


def test_anything_with_index_is_a_port():
    qport.outportb(Index(), 0x5A)
    assert qport.inportb(Index()) == 0x5A


# Calls whose port or value is out of range: nothing may reach the ports.
OUT_OF_RANGE = [
    (qport.outportb, (0x378, 256), "value 256"),
    (qport.outportb, (0x378, -129), "value -129"),
    (qport.outportw, (0x378, 0x10000), "value 65536"),
    (qport.outportw, (0x378, -32769), "value -32769"),
    (qport.outport, (0x378, 2**32), "value 4294967296"),
    (qport.outport, (0x378, -(2**31) - 1), "value -2147483649"),
    (qport.outport, (0x378, 2**100), "value 1267650600228229401496703205376"),
    (qport.inportb, (0x10000,), "port 0x10000"),
    (qport.inportb, (-0x8001,), "port -0x8001"),
    (qport.inport, (2**64,), "port 0x10000000000000000"),
    (qport.outpb, (0x378, 0x100), "value 256"),
    (qport.sim.preset, (0x378, 0x100), "value 256"),
]


@pytest.mark.parametrize("call, arguments, names", OUT_OF_RANGE)
def test_out_of_range_is_a_value_error(call, arguments, names):
    with pytest.raises(ValueError, match=names):
        call(*arguments)
    assert qport.sim.transfers() == []


@pytest.mark.parametrize("port", [1.0, "0x378", None, b"\x03"])
def test_a_port_that_is_no_integer_is_a_type_error(port):
    with pytest.raises(TypeError):
        qport.inportb(port)


def declared_names(stubs):
    for node in stubs.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            yield node.name
        elif isinstance(node, ast.AnnAssign):
            yield node.target.id


def stub_class(body, name):
    return next(n for n in body if isinstance(n, ast.ClassDef) and n.name == name)


def public_names(namespace):
    return {name for name in dir(namespace) if not name.startswith("_")}


def test_stubs_declare_what_the_extension_has():
    stubs = ast.parse((Path(_qport.__file__).parent / "_qport.pyi").read_text())
    assert set(declared_names(stubs)) == public_names(_qport)
    sim = stub_class(stubs.body, "SimulatedPorts")
    assert set(declared_names(sim)) == public_names(_qport.SimulatedPorts)


def test_package_offers_what_the_extension_does():
    assert set(qport.__all__) <= set(dir(qport))
    hidden = {"access_causes", "sim_devices"}
    assert public_names(_qport) - hidden <= set(qport.__all__)
    assert public_names(qport.SimulatedPorts) == public_names(_qport.SimulatedPorts) | {"Device"}