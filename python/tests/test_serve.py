# SPDX-License-Identifier: LGPL-2.1-or-later
"""qport.sim.serve: a device written in Python, answering the transfers of
another process on the shared machine (examples/adc_card.py is tried by
the CTest example_adc_card)."""

import os
import signal
import subprocess
import threading
import time

import pytest

import qport

BUILD_DIR = os.environ.get("QPORT_BUILD_DIR")


def test_serve_needs_a_shared_machine_and_something_to_call():
    with pytest.raises(ValueError, match="shared machine"):
        qport.sim.serve(0x300, 1, read=lambda port: 0)
    with pytest.raises(TypeError, match="needs read or write"):
        qport.sim.serve(0x300, 1)
    with pytest.raises(ValueError, match="0..0xFFFF"):
        qport.sim.serve(0xFFFF, 2, read=lambda port: 0)


@pytest.mark.skipif(BUILD_DIR is None, reason="needs QPORT_BUILD_DIR, as CTest sets it")
def test_a_callable_s_exception_ends_serve_and_the_client_goes_on(tmp_path):
    machine = tmp_path / "machine"
    qport.sim.use_machine(machine)
    qportio = os.path.join(BUILD_DIR, "qportio", "qportio")
    environment = dict(os.environ, QPORT_SIM_MACHINE=str(machine))
    reads = []

    def client():
        # serve() has released the GIL, or this thread would never run.
        for _ in range(100):
            shown = subprocess.run([qportio, "show"], env=environment, capture_output=True,
                                   text=True).stdout
            if "served-0300: served at" in shown:
                break
            time.sleep(0.05)
        reads.append(subprocess.run([qportio, "read", "0x301"], env=environment,
                                    capture_output=True, text=True))

    def read(port):
        raise RuntimeError(f"the card at {port:#x} is broken")

    thread = threading.Thread(target=client)
    thread.start()
    with pytest.raises(RuntimeError, match="the card at 0x301 is broken"):
        qport.sim.serve(0x300, 2, read=read)
    thread.join()
    assert reads[0].stdout == "255\n"
    # The ports are free again for the next server.
    assert "served-0300" not in subprocess.run([qportio, "show"], env=environment,
                                               capture_output=True, text=True).stdout


def test_a_signal_another_thread_takes_still_ends_serve(tmp_path):
    """SIGTERM taken by a thread other than the serving one (the serving thread
    blocks it) reaches the script's handler while no request comes."""
    qport.sim.use_machine(tmp_path / "machine")

    class Terminated(Exception):
        pass

    def on_term(signo, frame):
        raise Terminated

    previous = signal.signal(signal.SIGTERM, on_term)
    # Started before the block, so that it can take the signal.
    sender = threading.Thread(target=lambda: (time.sleep(0.2), os.kill(os.getpid(),
                                                                       signal.SIGTERM)))
    sender.start()
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
    try:
        with pytest.raises(Terminated):
            qport.sim.serve(0x300, 2, read=lambda port: 0)
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM})
        signal.signal(signal.SIGTERM, previous)
        sender.join()
        qport.sim.use_machine(None)
