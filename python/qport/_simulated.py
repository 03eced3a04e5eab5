# SPDX-License-Identifier: LGPL-2.1-or-later
"""qport.sim: the simulated port space's controls, on the compiled module's
_qport.sim (found only in the simulated build of libqport.so.1)."""

import enum
import operator
import os
from typing import Callable, List, NamedTuple, Optional, Type, TypeVar, Union

import _qport

StrOrBytesPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
IntEnumType = TypeVar("IntEnumType", bound=enum.IntEnum)


def member_or_number(int_enum: Type[IntEnumType], number: int) -> Union[IntEnumType, int]:
    """The member of int_enum for number, or the bare int for a number from a newer
    library than this package knows."""
    try:
        return int_enum(number)
    except ValueError:
        return number


class Transfer(NamedTuple):
    """One transfer that reached the simulated port space: CLOCK_MONOTONIC time in ns,
    direction 'in' or 'out', width_bits 8, 16 or 32, port 0..0xFFFF and the value
    as an unsigned int (zero-extended, unlike the sign-extended reads)."""

    time_ns: int
    direction: str
    width_bits: int
    port: int
    value: int


def _checked_read(read: Callable[[int], int]) -> Callable[[int], int]:
    """read, raising ValueError for anything but a byte."""

    def read_byte(port: int) -> int:
        value = operator.index(read(port))
        if not 0 <= value <= 0xFF:
            raise ValueError(f"read(0x{port:x}) returned {value}: a port reads 0..0xFF")
        return value

    return read_byte


class SimulatedPorts:
    """The simulated port space's controls: qport.sim on the simulated build.

    The parallel port at 0x378..0x37A has a device on it (Device: none, the loopback
    plug or a printer taking bytes by the compatibility-mode handshake). The port
    space is the process's own, or a machine file that every process naming it
    shares (use_machine, or QPORT_SIM_MACHINE in the environment)."""

    Device = enum.IntEnum("Device", _qport.sim_devices(), module="qport",
                          qualname="SimulatedPorts.Device")
    Device.__doc__ = "The device on the simulated parallel port (qport_sim_device)."

    def __init__(self, ports: "_qport.SimulatedPorts", access: Type[enum.IntEnum]) -> None:
        """Wraps the compiled module's controls; access is qport.Access."""
        self._ports = ports
        self._access = access

    def reset(self) -> None:
        """Every port back to its reset value, presets removed, the printer ready and its
        count at 0, the record cleared; the device, the printer's output and the trace
        destination are kept. On a shared machine, for every process using it."""
        self._ports.reset()

    def preset(self, port: int, value: int) -> None:
        """Makes port hold value (0..0xFF, or -128..-1) without a recorded transfer; the
        status register and unbacked ports then read it."""
        self._ports.preset(port, value)

    def peek(self, port: int) -> int:
        """What an 8-bit read of port would give now, 0..0xFF, without recording a
        transfer."""
        return self._ports.peek(port)

    def transfers(self) -> List[Transfer]:
        """The recorded transfers, oldest first, as a list of Transfer (the newest 65536
        are kept). The process's own port space records from the module's import; a
        shared machine records as its users set it (a new one does)."""
        return [Transfer(*record) for record in self._ports.transfers()]

    def clear_transfers(self) -> None:
        """Forgets the recorded transfers."""
        self._ports.clear_transfers()

    def record_transfers(self, on: bool) -> None:
        """Records transfers from now on (True) or stops recording them (False), on this
        machine: for every process, on a shared one."""
        self._ports.record_transfers(on)

    def trace_to(self, destination: Optional[StrOrBytesPath]) -> None:
        """Writes a trace line per transfer to destination from now on: "stderr", a file
        path (appended to), or None to stop. Raises OSError if the file cannot be
        opened."""
        self._ports.trace_to(destination)

    def refuse(self, cause: enum.IntEnum) -> None:
        """Behaves from now on as if the kernel had refused port access for cause (an
        Access); Access.GRANTED gives access back. A cause no kernel gives
        (PARPORT_ONLY, DROPPED) raises ValueError."""
        # Only a cause the library knows: Access(cause) raises ValueError otherwise.
        cause = self._access(cause)
        if not self._ports.refuse(cause):
            raise ValueError(f"no kernel answers {cause}: refuse with a cause the kernel "
                             "gives, such as NO_PRIVILEGE")

    def set_device(self, device: "SimulatedPorts.Device") -> None:
        """Puts device (a Device) on the parallel port, with the printer ready."""
        # Only a device the library knows: Device(device) raises ValueError otherwise.
        self._ports.set_device(self.Device(device))

    def current_device(self) -> "SimulatedPorts.Device":
        """The device on the parallel port, as a Device."""
        return member_or_number(self.Device, self._ports.current_device())

    def set_printer_output(self, path: Optional[StrOrBytesPath]) -> None:
        """Appends the bytes the printer takes to the file at path from now on, or to
        nowhere for None or "" (they are still counted). Stored in a shared machine,
        for every process using it. Raises OSError if the file cannot be opened, or the
        path is longer than 255 bytes (ENAMETOOLONG); the output is then unchanged."""
        self._ports.set_printer_output(path)

    def printed_bytes(self) -> int:
        """How many bytes the printer has taken since the last reset."""
        return self._ports.printed_bytes()

    def use_machine(self, path: Optional[StrOrBytesPath]) -> None:
        """Acts on the shared machine in the file at path from now on (created with mode
        0600 if missing), or on this process's own port space again for None. Raises
        OSError (EINVAL for a file that is no machine of this version; why is on
        standard error) and keeps the machine in use."""
        self._ports.use_machine(path)

    def describe_machine(self, path: StrOrBytesPath) -> None:
        """Builds the machine in use anew as the TOML file at path describes it (its
        profile, device properties, presets and memories; see the simulated PC's
        documentation). Raises ValueError naming the file, line and key of a mistake
        (the machine is then built up to there), OSError for a file that cannot be
        read or that another user could have written (EPERM)."""
        self._ports.describe_machine(path)

    def machine_path(self) -> Optional[str]:
        """The path of the shared machine in use, or None for the process's own."""
        return self._ports.machine_path()

    def device_properties(self, device: str) -> dict[str, str]:
        """The properties of the machine's device named device ("kbc", "hwmon", "ec",
        ...), as qportio show prints them. KeyError for a name no device has."""
        return self._ports.device_properties(device)

    def set_device_property(self, device: str, key: str, value: object) -> None:
        """Sets a property of a device, as qportio set does:
        set_device_property("hwmon", "temp1", 52), ("ec", "memory-0x10", 0x42),
        ("ec", "event", 0x66). KeyError for a device or property that does not
        exist, ValueError for a value refused (its range is on standard error)."""
        self._ports.set_device_property(device, key, str(value))

    def reset_count(self) -> int:
        """How many times programs reset the simulated PC as they would reboot a real one
        (0xFE to 0x64, 0xCF9, ...) since the machine was built or reset."""
        return self._ports.reset_count()

    def last_reset_cause(self) -> str:
        """What pulled the reset line last, or "none"."""
        return self._ports.last_reset_cause()

    def memories(self) -> list[tuple[str, int]]:
        """The machine's device memories (an SPI flash's contents, "lpt1-w25q80") as
        (name, size) tuples."""
        return self._ports.memories()

    def load_memory(self, name: str, path: StrOrBytesPath) -> None:
        """Copies the file at path, which must be of the memory's size, into the memory
        named name. Raises OSError (ENOENT: no such memory; EINVAL: a file of another
        size)."""
        self._ports.load_memory(name, path)

    def save_memory(self, name: str, path: StrOrBytesPath) -> None:
        """Copies the memory named name into the file at path (created or truncated,
        never through a symbolic link). Raises OSError."""
        self._ports.save_memory(name, path)

    def serve(
        self,
        first_port: int,
        count: int,
        device: Optional[object] = None,
        *,
        read: Optional[Callable[[int], int]] = None,
        write: Optional[Callable[[int, int], None]] = None,
    ) -> None:
        """Answers count ports from first_port for every process on the shared machine
        in use, until an exception (KeyboardInterrupt, a callable's own) ends it:
        device.read(port) returns the byte a port reads (0..0xFF), device.write(port,
        value) takes one; or read= and write= callables. Either may be missing: the
        ports then read 0xFF, or drop writes. The GIL is released while it waits.
        Raises ValueError without a shared machine, OSError (EBUSY) when another
        device has one of the ports."""
        first_port = operator.index(first_port)
        count = operator.index(count)
        if not (0 <= first_port <= 0xFFFF and count >= 1 and first_port + count <= 0x10000):
            raise ValueError("serve() takes ports from 0..0xFFFF and a count of 1 or more "
                             "that ends at 0xFFFF at most")
        if device is not None:
            read = getattr(device, "read", None)
            write = getattr(device, "write", None)
        if read is None and write is None:
            raise TypeError("serve() needs read or write: a device object with read(port) "
                            "and write(port, value) methods, or read= and write= callables")
        self._ports.serve(first_port, count, None if read is None else _checked_read(read),
                          write)
