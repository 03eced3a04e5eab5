# SPDX-License-Identifier: LGPL-2.1-or-later
"""The shared machine: one port space in a file, for every process naming it."""

import errno
import os
import subprocess
import sys

import pytest

import qport

OTHER_PROCESS = (
    "import sys, qport; qport.sim.use_machine(sys.argv[1]); qport.outportb(0x378, 0xA5)"
)


def test_two_processes_share_one_machine(tmp_path):
    machine = tmp_path / "machine"
    qport.sim.use_machine(machine)
    assert qport.sim.machine_path() == str(machine)
    child = subprocess.run([sys.executable, "-c", OTHER_PROCESS, str(machine)],
                           capture_output=True, text=True, timeout=30, env=os.environ)
    assert child.returncode == 0, child.stderr
    assert qport.sim.peek(0x378) == 0xA5
    assert [t[1:] for t in qport.sim.transfers()] == [("out", 8, 0x378, 0xA5)]
    # None: this process's own port space again, untouched by the child.
    qport.sim.use_machine(None)
    assert (qport.sim.machine_path(), qport.sim.peek(0x378)) == (None, 0x00)


@pytest.mark.parametrize("contents", [b"not a machine\n", b""])
def test_a_file_that_is_no_machine_is_refused(tmp_path, contents):
    path = tmp_path / "not-a-machine"
    path.write_bytes(contents)
    path.chmod(0o600)  # the mode of a machine file: only the contents are wrong
    qport.sim.preset(0x378, 0x3C)
    with pytest.raises(OSError) as raised:
        qport.sim.use_machine(os.fsencode(path))
    assert (raised.value.errno, raised.value.filename) == (errno.EINVAL, os.fsencode(path))
    # The process keeps its own port space, and the file is left alone.
    assert (qport.sim.machine_path(), qport.sim.peek(0x378)) == (None, 0x3C)
    assert path.read_bytes() == contents


def run_child(script, **environment):
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           timeout=30, env={**os.environ, **environment})
    assert child.returncode == 0, child.stderr
    return child.stdout


def test_import_records_on_the_process_own_port_space_only(tmp_path):
    # Without a qport.sim call first, the process's own port space records.
    own = run_child("import qport; qport.outportb(0x378, 0x5A); "
                    "print([t.port for t in qport.sim.transfers()])", QPORT_SIM_MACHINE="")
    assert own == "[888]\n"
    # A shared machine whose user stopped recording: importing the module in
    # another process does not start it again.
    machine = tmp_path / "machine"
    qport.sim.use_machine(machine)
    qport.sim.record_transfers(False)
    run_child("import qport; qport.outportb(0x378, 0x5A)", QPORT_SIM_MACHINE=str(machine))
    assert (qport.sim.peek(0x378), qport.sim.transfers()) == (0x5A, [])


@pytest.mark.parametrize("text, raised, said", [
    ('[presets]\n0x300 = 0x42\n', None, None),
    ('[devices.hwmon]\n\ntemp9 = 1\n', ValueError, ":3: devices.hwmon.temp9: hwmon has no property"),
    ('profile = "pcx"\n', ValueError, ":1: profile: no profile pcx"),
])
def test_a_described_machine_is_built_or_its_mistake_named(tmp_path, text, raised, said):
    description = tmp_path / "pc.toml"
    description.write_text(text)
    description.chmod(0o600)
    qport.sim.use_machine(None)
    if raised is None:
        qport.sim.describe_machine(description)
        assert qport.sim.peek(0x300) == 0x42
        return
    with pytest.raises(raised) as error:
        qport.sim.describe_machine(description)
    assert str(description) + said in str(error.value)


def test_a_description_that_cannot_be_read_raises_oserror(tmp_path):
    with pytest.raises(OSError) as error:
        qport.sim.describe_machine(tmp_path / "missing.toml")
    assert error.value.errno == errno.ENOENT
