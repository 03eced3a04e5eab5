# SPDX-License-Identifier: LGPL-2.1-or-later
"""Direct access to the PC's I/O ports through libqport.so.1.

Ports are ints 0..0xFFFF (or -0x8000..-1 for 0x8000..0xFFFF); values written
must fit their width, signed or unsigned, or the call raises ValueError. Reads
come back sign-extended: inportb gives -128..127, inportw -32768..32767.

The module uses whichever libqport.so.1 the loader finds: run a script with
LD_LIBRARY_PATH=<libdir>/qport/simulated to act on the simulated port space,
whose controls are then qport.sim (None on the hardware build).

Without root, a parallel port whose /dev/parportN the user may open can still
be reached: access_status() is then Access.PARPORT_ONLY and parport_routes()
names its ports; 8-bit transfers on them go through that device.

Notices (Message, Error1, the withheld calls, a refusal) block the calling
thread until dismissed; other Python threads keep running.

The calls into the library are the compiled module _qport's; this package
adds the Python types and the checks that need no library.
"""

import enum as _enum
from typing import Callable, List, NamedTuple, Optional

import _qport
from _qport import (
    REFUSED_READ,
    Error1,
    Message,
    access_errno,
    access_message,
    backend,
    drop_access,
    inpb,
    inport,
    inportb,
    inportw,
    inpw,
    outpb,
    outport,
    outportb,
    outportw,
    show_notice,
)

from ._simulated import SimulatedPorts, Transfer, member_or_number

__all__ = [
    "REFUSED_READ", "Access", "Error1", "Message", "ParportRoute", "SimulatedPorts",
    "Transfer", "access_errno", "access_message", "access_status", "backend",
    "direct_access_status", "drop_access", "inpb", "inport", "inportb", "inportw", "inpw",
    "outpb", "outport", "outportb", "outportw", "parport_reaches", "parport_routes",
    "set_presenter", "show_notice", "sim",
]


def _python_name(library_name: str) -> str:
    """A cause as Python names it: "no-privilege" becomes NO_PRIVILEGE."""
    return library_name.replace("-", "_").upper()


Access = _enum.IntEnum(
    "Access",
    [(_python_name(name), number) for number, name in enumerate(_qport.access_causes())],
    module=__name__,
)
Access.__doc__ = (
    "Whether the calling thread may make port transfers, and if not, why (qport_access).")


class ParportRoute(NamedTuple):
    """A parallel port reached without root through the kernel's parport driver: its data
    register at first_port, status at first_port + 1, control at last_port, and the
    device the transfers go through, e.g. "/dev/parport0"."""

    first_port: int
    last_port: int
    device: str


Presenter = Callable[[str, str], Optional[bool]]


def set_presenter(presenter: Optional[Presenter]) -> Optional[Presenter]:
    """Shows every notice of the library (from any thread) through presenter(title, text),
    or through the library's own presenter (standard error, waiting for Enter on a
    terminal) with None. Returns the presenter it replaces.

    presenter returns False if it could not show the notice; anything else, None too,
    means it was shown and dismissed. An exception it raises is raised from the qport
    call that showed the notice, or, where the notice came from outside Python, reported
    through sys.unraisablehook."""
    if presenter is not None and not callable(presenter):
        raise TypeError("the presenter must be callable or None")
    return _qport.set_presenter(presenter)


def access_status() -> Access:
    """The calling thread's port access, as an Access. Call it before the first transfer to
    learn the outcome without a notice. Never blocks."""
    return member_or_number(Access, _qport.access_status())


def direct_access_status() -> Access:
    """Direct access to all ports, as an Access: access_status(), except that where that
    gives Access.PARPORT_ONLY this gives the kernel's reason for refusing direct access."""
    return member_or_number(Access, _qport.direct_access_status())


def parport_routes() -> List[ParportRoute]:
    """The parallel ports the calling thread reaches without root, as a list of ParportRoute;
    [] unless access_status() is Access.PARPORT_ONLY (full access needs none, and the
    simulated build has none). The first call opens their devices, close-on-exec."""
    return [ParportRoute(*route) for route in _qport.parport_routes()]


def parport_reaches(port: int, width: int = 8) -> bool:
    """Whether a transfer of width bits (8, 16 or 32) at port goes through a parallel port
    route for the calling thread: its data, status and control registers at 8 bits, and
    on a port with EPP its EPP address register at 8 bits and data registers at any
    width within them. False unless access_status() is Access.PARPORT_ONLY. Raises
    ValueError for another width."""
    if width not in (8, 16, 32):
        raise ValueError("width must be 8, 16 or 32")
    return _qport.parport_reaches(port, width)


# The simulated port space's controls, or None on the hardware build.
sim: Optional[SimulatedPorts] = (
    SimulatedPorts(_qport.sim, Access) if _qport.sim is not None else None)
