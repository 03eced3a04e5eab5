# SPDX-License-Identifier: LGPL-2.1-or-later
"""Threads that end while a notice blocks them: the interpreter ends a
daemon thread that asks for the GIL back during finalisation, and a thread
may be cancelled. Either way the thread unwinds through the module; the
process must go on to exit with the main thread's status."""

import os
import subprocess
import sys
import textwrap

import pytest

STATUS = 3

# Helpers for the scripts below: what blocks a thread in a notice, and a
# hook that runs while the interpreter is being finalised.
PRELUDE = textwrap.dedent(
    """
    import ctypes, os, pty, sys, threading, time, qport
    libc = ctypes.CDLL(None)
    library = ctypes.CDLL("libqport.so.1")
    shown = threading.Event()

    def presenter_blocking_forever(title, text):
        shown.set()
        threading.Event().wait()

    def presenter_running_on(title, text):
        shown.set()
        while True:
            time.sleep(0.01)

    def library_presenter_on_a_terminal():
        # It waits for Enter only where standard input and error are one.
        terminal, user_side = pty.openpty()
        os.dup2(user_side, 0)
        os.dup2(user_side, 2)
        qport.set_presenter(None)
        return terminal

    def wait_for_the_prompt(terminal):
        output = b""
        while b"(press Enter)" not in output:
            output += os.read(terminal, 4096)

    def in_daemon_thread(call):
        thread = threading.Thread(target=call, daemon=True)
        thread.start()
        return thread.ident

    def in_thread_of_another_library(function):
        # A thread Python never made, running the library's entry point.
        thread = ctypes.c_ulong()
        assert libc.pthread_create(ctypes.byref(thread), None, function, None) == 0

    def at_finalisation(*call):
        # The sys module's dict is cleared late in finalisation, once other
        # threads must no longer take the GIL; the sleep lets them ask.
        # Modules' globals may be gone by then: the hook names none.
        class Finaliser:
            def __del__(self, sleep=time.sleep, write=os.write, finalizing=sys.is_finalizing):
                if call:
                    call[0](*call[1:])
                write(1, b"finalising %d\\n" % finalizing())
                sleep(0.5)
        sys.qport_finaliser = Finaliser()

    def cancel(thread_id):
        assert libc.pthread_cancel(ctypes.c_ulong(thread_id)) == 0
        time.sleep(0.2)  # the GIL must come back to this thread
        print("went on")
    """
)

ENDINGS = {
    "daemon thread whose presenter blocks when the program ends": """
        qport.set_presenter(presenter_blocking_forever)
        in_daemon_thread(qport.Message)
        shown.wait()
    """,
    "daemon thread whose presenter runs on at finalisation": """
        qport.set_presenter(presenter_running_on)
        in_daemon_thread(qport.Message)
        shown.wait()
        at_finalisation()
    """,
    "daemon thread whose library notice is answered at finalisation": """
        terminal = library_presenter_on_a_terminal()
        in_daemon_thread(qport.Message)
        wait_for_the_prompt(terminal)
        at_finalisation(os.write, terminal, b"\\n")
    """,
    "thread of another library whose presenter runs on at finalisation": """
        qport.set_presenter(presenter_running_on)
        in_thread_of_another_library(library._Z7Messagev)
        shown.wait()
        at_finalisation()
    """,
    "thread cancelled in the library's notice": """
        terminal = library_presenter_on_a_terminal()
        thread = in_daemon_thread(qport.Message)
        wait_for_the_prompt(terminal)
        cancel(thread)
    """,
    "thread cancelled in the presenter": """
        qport.set_presenter(presenter_running_on)
        thread = in_daemon_thread(qport.Message)
        shown.wait()
        cancel(thread)
    """,
}


@pytest.mark.parametrize("ending", ENDINGS.values(), ids=ENDINGS.keys())
def test_thread_ending_in_a_notice_leaves_the_exit_to_the_program(ending):
    script = PRELUDE + textwrap.dedent(ending) + f"sys.exit({STATUS})\n"
    child = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True, text=True, timeout=30, env=os.environ,
    )
    assert child.returncode == STATUS, child.stderr
    # The hook at finalisation ran, or the main thread went on after the
    # cancellation: the case did reach the thread's end.
    output = {"at_finalisation(": "finalising 1\n", "cancel(": "went on\n"}
    assert child.stdout == "".join(text for call, text in output.items() if call in ending)
