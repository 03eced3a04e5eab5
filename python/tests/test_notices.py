# SPDX-License-Identifier: LGPL-2.1-or-later
"""Notices through a Python presenter: what it is shown, what its answer
and its exceptions become, and that a blocking notice lets Python run."""

import ctypes
import os
import subprocess
import sys
import textwrap

import pytest

import qport

UNAVAILABLE = ("Function unavailable!", "This function is unavailable in this release.")

# (call, notice shown, result with a presenter that answers None): the
# withheld calls make their transfer before the notice.
NOTICES = [
    (qport.Message, ("Operation Success!", "DLL successfully called."), 1),
    (qport.Error1, UNAVAILABLE, 1),
    (lambda: qport.inpb(0x378), UNAVAILABLE, 0),
    (lambda: qport.inpw(0x378), UNAVAILABLE, 0),
    (lambda: qport.outpb(0x378, 0xAA), UNAVAILABLE, 1),
    (lambda: qport.show_notice("Own title", "own text"), ("Own title", "own text"), 1),
]


@pytest.mark.parametrize("call, notice, result", NOTICES)
def test_presenter_is_shown_each_notice(presenter, call, notice, result):
    assert call() == result
    assert presenter.notices == [notice]


@pytest.mark.parametrize("answer, result", [(None, 1), (True, 1), (False, 0), (0, 0)])
def test_presenters_answer_is_the_result(presenter, answer, result):
    presenter.answer = answer
    assert qport.Message() == result
    assert qport.outpb(0x378, 1) == result


def raises(title, text):
    raise LookupError(title)


class Falsehood:
    def __bool__(self):
        raise ZeroDivisionError


# Presenters that fail in each way a Python callable can.
FAILING = [
    (raises, LookupError),
    (lambda: None, TypeError),  # takes no arguments
    (lambda title, text: Falsehood(), ZeroDivisionError),
]


@pytest.mark.parametrize("failing, error", FAILING)
def test_presenters_exception_is_raised_from_the_call(failing, error):
    qport.set_presenter(failing)
    with pytest.raises(error):
        qport.Message()
    with pytest.raises(error):
        qport.outpb(0x378, 0x42)
    assert qport.sim.peek(0x378) == 0x42  # the transfer was made all the same


def test_exception_outside_python_goes_to_unraisablehook(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    qport.set_presenter(raises)
    # The same library, called as C code would: no Python call to raise from.
    library = ctypes.CDLL("libqport.so.1")
    assert library._Z7Messagev() == 0
    assert [type(report.exc_value) for report in reported] == [LookupError]


def test_set_presenter_returns_the_one_it_replaces():
    first = lambda title, text: None  # noqa: E731
    qport.set_presenter(first)
    assert qport.set_presenter(None) is first
    assert qport.set_presenter(None) is None
    with pytest.raises(TypeError):
        qport.set_presenter("not callable")


# The library's own presenter waits for Enter on a terminal. Only another
# Python thread can press it here, and only if the waiting notice released
# the GIL; if it did not, the child hangs and the timeout fails the test.
BLOCKING_NOTICE = textwrap.dedent(
    """
    import os, pty, threading, qport
    terminal, user_side = pty.openpty()
    os.dup2(user_side, 0)
    os.dup2(user_side, 2)

    def press_enter_once_the_notice_waits():
        shown = b""
        while b"(press Enter)" not in shown:
            shown += os.read(terminal, 4096)
        os.write(terminal, b"\\n")

    threading.Thread(target=press_enter_once_the_notice_waits).start()
    qport.set_presenter(None)
    print(qport.Message())
    """
)


def test_blocking_notice_lets_other_threads_run():
    child = subprocess.run(
        [sys.executable, "-c", BLOCKING_NOTICE],
        capture_output=True, text=True, timeout=30, env=os.environ,
    )
    assert (child.returncode, child.stdout) == (0, "1\n"), child.stderr
