# SPDX-License-Identifier: LGPL-2.1-or-later
"""The hardware build where the kernel refuses access, in a child process
that has no CAP_SYS_RAWIO: nothing is transferred and the user is told why.
The child checks that access is refused before any transfer, so no port
instruction can run even if the capability could not be dropped, and that
no parallel port is reached through its device instead, which would make
the transfers on real hardware."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

SKIPPED = 77

REFUSED = textwrap.dedent(
    f"""
    import sys, qport
    if qport.access_status() in (qport.Access.GRANTED, qport.Access.PARPORT_ONLY):
        sys.exit({SKIPPED})
    notices = []
    qport.set_presenter(lambda title, text: notices.append((title, text)))
    print(qport.backend(), qport.sim, qport.access_errno() != 0, qport.parport_routes(),
          qport.direct_access_status() is qport.access_status(), qport.parport_reaches(0x378))
    print(qport.inportb(0x378), qport.inportw(0x378), qport.inport(0x378))
    qport.outportb(0x378, 0x55)
    print(notices == [("Port access refused", qport.access_message())])
    """
)


def test_refused_hardware_transfers_nothing():
    command = [sys.executable, "-c", REFUSED]
    if os.geteuid() == 0:
        setpriv = shutil.which("setpriv")
        if setpriv is None:
            pytest.skip("setpriv (util-linux) is needed to drop CAP_SYS_RAWIO as root")
        # Gone from the bounding set, the capability is not regained on exec.
        command = [setpriv, "--bounding-set=-sys_rawio", "--inh-caps=-sys_rawio", "--"] + command
    # The hardware build: the one the module was linked with, unless named.
    environment = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    if "QPORT_HARDWARE_DIR" in os.environ:
        environment["LD_LIBRARY_PATH"] = os.environ["QPORT_HARDWARE_DIR"]
    child = subprocess.run(command, capture_output=True, text=True, timeout=30, env=environment)
    if child.returncode == SKIPPED:
        pytest.skip("ports (or a parallel port's device) are reachable here; hardware "
                    "transfers run only in the emulated PC")
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        "hardware None True [] True False",
        "-1 -1 -1",
        "True",
    ]
