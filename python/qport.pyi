# SPDX-License-Identifier: LGPL-2.1-or-later
"""Direct access to the PC's I/O ports through libqport.so.1.

Ports are ints 0..0xFFFF (or -0x8000..-1 for 0x8000..0xFFFF); values written
must fit their width, signed or unsigned, or the call raises ValueError. Reads
come back sign-extended: inportb gives -128..127, inportw -32768..32767.

The module uses whichever libqport.so.1 the loader finds: run a script with
LD_LIBRARY_PATH=<libdir>/qport/simulated to act on the simulated port space,
whose controls are then qport.sim (None on the hardware build).

Where the kernel refuses direct access (no root, lockdown, a container), a
parallel port whose /dev/parportN the user may open can still be reached:
access_status() is then Access.PARPORT_ONLY, direct_access_status() tells the
kernel's reason, parport_routes() names the ports and parport_reaches() what
goes through that device (8-bit transfers, and EPP on a port with EPP).
"""

import enum
import os
from typing import Callable, NamedTuple, Optional, Union

REFUSED_READ: int

class Access(enum.IntEnum):
    """Whether the calling thread may make port transfers, and if not, why."""

    GRANTED = 0
    NO_PRIVILEGE = 1
    USER_NAMESPACE = 2
    LOCKDOWN = 3
    NO_KERNEL_SUPPORT = 4
    NOT_X86 = 5
    OTHER = 6
    DROPPED = 7
    PARPORT_ONLY = 8

def inport(port: int) -> int:
    """One 32-bit read from port; -2**31..2**31-1."""

def inportw(port: int) -> int:
    """One 16-bit read from port; -32768..32767."""

def inportb(port: int) -> int:
    """One 8-bit read from port; -128..127."""

def outport(port: int, value: int) -> None:
    """One 32-bit write of value: 0..0xFFFFFFFF, or -2**31..-1."""

def outportw(port: int, value: int) -> None:
    """One 16-bit write of value: 0..0xFFFF, or -32768..-1."""

def outportb(port: int, value: int) -> None:
    """One 8-bit write of value: 0..0xFF, or -128..-1."""

def Message() -> int:
    """Shows "DLL successfully called."; 1 once dismissed, 0 if not shown."""

def Error1() -> int:
    """Shows "This function is unavailable in this release."; 1 or 0."""

def inpb(port: int) -> int:
    """Withheld: an 8-bit read of port, then the Error1 notice; returns 0."""

def inpw(port: int) -> int:
    """Withheld: a 16-bit read of port, then the Error1 notice; returns 0."""

def outpb(port: int, value: int) -> int:
    """Withheld: an 8-bit write, then the Error1 notice; returns its answer."""

def show_notice(title: str, text: str) -> int:
    """Shows a notice of the program's own through the installed presenter."""

Presenter = Callable[[str, str], Optional[bool]]

def set_presenter(presenter: Optional[Presenter]) -> Optional[Presenter]:
    """Shows every notice through presenter(title, text), or the library's own
    presenter with None; returns the one replaced. An exception the presenter
    raises is raised from the qport call that showed the notice."""

def access_status() -> Access:
    """The calling thread's port access. Never blocks."""

def direct_access_status() -> Access:
    """access_status(), except that where that is Access.PARPORT_ONLY this is
    the kernel's reason for refusing direct access."""

def access_errno() -> int:
    """The errno of the refused access request, also behind PARPORT_ONLY; 0
    when granted."""

def access_message() -> str:
    """What was refused, why and how to fix it; a confirmation when granted."""

class ParportRoute(NamedTuple):
    """A parallel port reached without root through the kernel's parport driver:
    data at first_port, status at first_port + 1, control at last_port."""

    first_port: int
    last_port: int
    device: str

def parport_routes() -> list[ParportRoute]:
    """The parallel ports reached without root; [] unless access_status() is
    Access.PARPORT_ONLY (the simulated build has none)."""

def parport_reaches(port: int, width: int = 8) -> bool:
    """Whether a transfer of width bits (8, 16, 32) at port goes through a
    parallel port route; False unless access_status() is Access.PARPORT_ONLY.
    Raises ValueError for another width."""

def drop_access() -> None:
    """Gives up the calling thread's port access for good (survives no exec)."""

def backend() -> str:
    """The build loaded: "hardware" or "simulated"."""

class Transfer(NamedTuple):
    """One transfer that reached the simulated port space."""

    time_ns: int
    direction: str
    width_bits: int
    port: int
    value: int

StrOrBytesPath = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

class SimulatedPorts:
    """The simulated port space's controls: qport.sim on the simulated build.

    The parallel port at 0x378..0x37A has a Device on it. The port space is
    the process's own, or a machine file shared by every process naming it."""

    class Device(enum.IntEnum):
        """The device on the simulated parallel port."""

        NONE = 0
        LOOPBACK = 1
        PRINTER = 2

    def reset(self) -> None: ...
    def preset(self, port: int, value: int) -> None: ...
    def peek(self, port: int) -> int: ...
    def transfers(self) -> list[Transfer]:
        """Recorded from the module's import on the process's own port space;
        a shared machine records as its users set it (a new one does)."""
    def clear_transfers(self) -> None: ...
    def record_transfers(self, on: bool) -> None: ...
    def trace_to(self, destination: Optional[StrOrBytesPath]) -> None: ...
    def refuse(self, cause: Access) -> None:
        """Raises ValueError for a cause no kernel gives (PARPORT_ONLY, DROPPED)."""
    def set_device(self, device: SimulatedPorts.Device) -> None: ...
    def current_device(self) -> SimulatedPorts.Device: ...
    def set_printer_output(self, path: Optional[StrOrBytesPath]) -> None:
        """None or "" for nowhere; OSError if it cannot be opened."""
    def printed_bytes(self) -> int: ...
    def use_machine(self, path: Optional[StrOrBytesPath]) -> None:
        """The shared machine in path, or the process's own for None; OSError
        (EINVAL for a file that is no machine) keeps the one in use."""
    def machine_path(self) -> Optional[str]: ...
    def serve(
        self,
        first_port: int,
        count: int,
        device: Optional[object] = None,
        *,
        read: Optional[Callable[[int], int]] = None,
        write: Optional[Callable[[int, int], None]] = None,
    ) -> None:
        """Answers the ports for every process on the shared machine until an
        exception ends it: device.read(port) -> 0..0xFF and
        device.write(port, value), or read= and write=. ValueError without a
        shared machine; OSError (EBUSY) when another device has a port."""

sim: Optional[SimulatedPorts]
