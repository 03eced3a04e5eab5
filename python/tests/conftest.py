# SPDX-License-Identifier: LGPL-2.1-or-later
"""Every test here but the refused-hardware one transfers in this process,
so this process must be on the simulated port space: on the hardware build
(and as root) a transfer would be a real port instruction on this machine."""

import pytest

import qport

if qport.backend() != "simulated" or qport.sim is None:
    pytest.exit(
        "the qport module is bound to the hardware build: run the tests with "
        "LD_LIBRARY_PATH set to the simulated build's directory",
        returncode=2,
    )


class RecordingPresenter:
    """Records each notice instead of showing it, and answers `answer`."""

    def __init__(self, answer=None):
        self.answer = answer
        self.notices = []

    def __call__(self, title, text):
        self.notices.append((title, text))
        return self.answer


@pytest.fixture(autouse=True)
def fresh_port_space():
    """Each test starts on the process's own port space at reset, with no
    device, and leaves it so: the tests share one process."""
    qport.sim.refuse(qport.Access.GRANTED)
    qport.sim.reset()
    previous = qport.set_presenter(RecordingPresenter())
    yield qport.sim
    qport.set_presenter(previous)
    qport.sim.trace_to(None)
    qport.sim.use_machine(None)
    qport.sim.set_device(qport.sim.Device.NONE)
    qport.sim.set_printer_output(None)
    qport.sim.record_transfers(True)
    qport.sim.reset()


@pytest.fixture
def presenter():
    recorder = RecordingPresenter()
    qport.set_presenter(recorder)
    return recorder
