// SPDX-License-Identifier: LGPL-2.1-or-later
// qportio: reads or writes I/O ports from the command line, for scripts, and
// lists the machine's parallel ports.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

#include "qport.h"
#include "qport_ext.h"

#include "command_line.h"
#include "parallel_ports.h"
#include "exit_status.h"
#include "machine_commands.h"
#include "recording_command.h"

namespace {

constexpr const char *help_text =
    R"(Usage: qportio [--simulated] read [-w 8|16|32] [-x] PORT...
       qportio write [-w 8|16|32] PORT VALUE
       qportio ports
       qportio reset | show [-n COUNT]
       qportio set DEVICE KEY=VALUE...
       qportio memory [load|save NAME FILE]
       qportio machine create PATH --from FILE
       qportio recording FILE
       qportio --help | --version

Reads or writes I/O ports through libqport.so.1, lists the machine's
parallel ports, or resets or shows a shared simulated machine.

Options:
      --simulated   run on the simulated PC, whichever build of libqport.so.1
                    the loader finds (given before the command)
  -w, --width BITS  transfer 8 (the default), 16 or 32 bits; a wide transfer
                    covers PORT and the ports after it, lowest byte at PORT
  -x, --hex         print the value read in hex with 2, 4 or 8 digits
                    (0x7f, 0x7f00) instead of unsigned decimal
  -h, --help        show this text
      --version     show the version and which build of libqport is loaded
Short options may be bundled: -xw16 is -x -w 16. The first --help or
--version wins over every argument after it; an unknown option before it
is still an error.

PORT is 0..65535, in decimal (888) or hex (0x378); a 16-bit transfer may
start at 0xFFFE at most, a 32-bit one at 0xFFFC.
VALUE is decimal or hex too: unsigned up to 255, 65535 or 4294967295 for
8, 16 or 32 bits, or negative down to -128, -32768 or -2147483648.
A decimal number never starts with 0 (0378 is refused, not read as octal
or decimal): write 888 or 0x378.
A read prints each value on a line of its own, in the order of the ports;
a write prints nothing.

"ports" lists the parallel ports the kernel's parport driver knows (device,
registers, EPP and ECP registers, modes, which driver holds the port,
whether this user may open its /dev/parportN) and the PCI parallel-port
cards with their I/O ranges, whether or not a driver has bound them. It
makes no transfer.

On the simulated build with QPORT_SIM_MACHINE=PATH, every process naming
PATH shares one port space; there "reset" puts it back to its reset state
and "show" prints its devices with their properties (the keyboard's LEDs
and typematic rate and delay, the hardware monitor's readings, the
embedded controller's queued events, ...), the resets programs made, and
the last COUNT (10) transfers. "set" sets properties of one device, as
qport_sim_set_device_property does: "qportio set hwmon temp1=52" or
"qportio set ec memory-0x10=0x42 event=0x66". "memory" lists the simulated machine's device memories (an SPI
flash's contents: "lpt1-w25q80"), "memory load NAME FILE" copies FILE,
which must be of the memory's size, into one, and "memory save NAME FILE"
copies one into FILE. "machine create PATH --from FILE" makes the shared
machine PATH (if missing) and builds it anew as the TOML file FILE
describes it: profile, devices' properties, presets, memories.

"recording FILE" summarises a recording (QPORT_RECORD, qport-run --record):
its transfers, the time they span, and each port's reads, writes and
widths. It makes no transfer.

Exit status:
  0  done: the transfers made, the ports listed, the machine reset or shown
  1  the output could not be written to standard output (a full disk,
     or a reader that went away, as in qportio read 0x378 | head -c0)
  2  bad arguments; nothing was transferred
  3  port access is refused; the cause and its remedy go to standard error.
     Nothing was transferred, or, when a transfer on the parallel port was
     refused (another driver holds it), nothing is printed
  4  reset, show, set, memory or machine was run on the hardware build
  5  QPORT_SIM_MACHINE names a simulated machine that cannot be used (the
     reason is on standard error); nothing was transferred, reset or shown
  6  recording: FILE cannot be read, or a replay would refuse it (its line
     and the reason are on standard error)
  7  set: a device or property that does not exist, or a value refused
     (the reason is on standard error); the settings before it were made
  8  memory load or save: no such memory, a file of the wrong size, or
     the file could not be read or written (the reason is on standard error)
  9  machine create: FILE cannot be read or describes what the simulated PC
     lacks (its file, line, key and why are on standard error)

Port access needs root or the CAP_SYS_RAWIO capability. Where the kernel
refuses it (no capability, kernel lockdown, a container), a user who may
open /dev/parportN (group lp) still reaches that parallel port's data,
status and control registers (8-bit transfers), and on a port with EPP its
EPP registers (8, 16 or 32 bits within the data registers), through the
kernel's parport driver.
To try qportio without either, run it on the simulated PC, whose ports
0x378 to 0x37A behave like a printer port:
  qportio --simulated read 0x379
or load the simulated build of the library from the directory
qport/simulated beside libqport.so.1 yourself:
)";

// Where the loaded libqport.so.1 lies, as its real path; empty if that
// cannot be told.
std::string loaded_library_path()
{
    Dl_info loaded{};
    if (::dladdr(reinterpret_cast<void *>(&qport_backend), &loaded) == 0 ||
        loaded.dli_fname == nullptr)
        return {};
    std::array<char, PATH_MAX> real{};
    return ::realpath(loaded.dli_fname, real.data()) != nullptr ? real.data() : loaded.dli_fname;
}

// The simulated build that goes with the loaded libqport.so.1: that one if
// it is the simulated build, else the one beside it (qport/simulated in an
// install, simulated in a build tree), found where the library lies rather
// than where the build was configured to install it. Empty for none.
std::string simulated_build_path()
{
    std::string loaded_path = loaded_library_path();
    if (loaded_path.empty() || std::strcmp(qport_backend(), "simulated") == 0)
        return loaded_path;
    const std::string directory = loaded_path.substr(0, loaded_path.rfind('/') + 1);
    for (const char *beside : {"qport/simulated/libqport.so.1", "simulated/libqport.so.1"}) {
        if (::access((directory + beside).c_str(), R_OK) == 0)
            return directory + beside;
    }
    return {};
}

void print_help()
{
    std::fputs(help_text, stdout);
    const std::string simulated = simulated_build_path();
    std::printf("  LD_LIBRARY_PATH=%s qportio read 0x379\n",
                simulated.empty() ? "LIBDIR/qport/simulated"
                                  : simulated.substr(0, simulated.rfind('/')).c_str());
}

// --simulated: qportio runs again with the simulated build preloaded; the
// loader then takes it for libqport.so.1, whatever the library path or
// qportio's RUNPATH would find. The simulated build lies beside the loaded
// one: qport/simulated in an install, simulated in a build tree.
std::optional<int> run_on_simulated_build(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--simulated") != 0)
        return std::nullopt;
    // Set for the second run, which must not try again, nor ever go on to
    // real ports. Read with getenv, not secure_getenv: under the loader's
    // secure mode (a file capability) the preload is ignored, and this mark
    // is what stops a run that would otherwise start itself again forever;
    // all it can do is end the run.
    constexpr const char *second_run = "QPORTIO_SIMULATED_RUN";
    const bool again = std::getenv(second_run) != nullptr;
    ::unsetenv(second_run);
    if (std::strcmp(qport_backend(), "simulated") == 0)
        return std::nullopt; // already there: the command without the option
    if (again) {
        std::fputs("qportio: --simulated: the simulated build did not load\n", stderr);
        return qportio::exit_usage;
    }
    const std::string simulated = simulated_build_path();
    if (simulated.empty() || simulated.find_first_of(": ") != std::string::npos) {
        std::fprintf(stderr, "qportio: --simulated: no simulated build beside %s\n",
                     loaded_library_path().c_str());
        return qportio::exit_usage;
    }
    const char *preload = std::getenv("LD_PRELOAD");
    const std::string preloads =
        simulated + (preload != nullptr && *preload != '\0' ? ":" + std::string(preload) : "");
    if (::setenv("LD_PRELOAD", preloads.c_str(), 1) != 0 || ::setenv(second_run, "1", 1) != 0) {
        std::fprintf(stderr, "qportio: --simulated: %s\n", std::strerror(errno));
        return qportio::exit_usage;
    }
    ::execv("/proc/self/exe", argv);
    std::fprintf(stderr, "qportio: --simulated: cannot run qportio again: %s\n",
                 std::strerror(errno));
    return qportio::exit_usage;
}

// The unsigned bits of one read of the given width.
std::uint32_t read_port(unsigned width_bits, short port)
{
    switch (width_bits) {
    case 16:
        return static_cast<std::uint16_t>(inportw(port));
    case 32:
        return static_cast<std::uint32_t>(inport(port));
    default:
        return static_cast<std::uint8_t>(inportb(port));
    }
}

void write_port(unsigned width_bits, short port, std::uint32_t value)
{
    switch (width_bits) {
    case 16:
        outportw(port, static_cast<short>(value));
        break;
    case 32:
        outport(port, static_cast<int>(value));
        break;
    default:
        outportb(port, static_cast<char>(value));
        break;
    }
}

// The library's notices during the transfers: each is a refused transfer.
int report_notice(const char *title, const char *text, void *refusals)
{
    std::fprintf(stderr, "qportio: %s.\n%s\n", title, text);
    ++*static_cast<int *>(refusals);
    return 0;
}

// Whether every transfer asked for may be made; if not, says why. Asked
// before any transfer, so that a refusal is reported here, once, instead of
// through the library's notice.
bool may_transfer(const qportio::Transfer &transfer)
{
    const qport_access access = qport_access_status();
    if (access == QPORT_ACCESS_GRANTED)
        return true;
    if (access == QPORT_ACCESS_PARPORT_ONLY) {
        const auto unreachable = std::ranges::find_if(transfer.ports, [&](std::uint16_t port) {
            return qport_parport_reaches(port, transfer.width_bits) == 0;
        });
        if (unreachable == transfer.ports.end())
            return true;
        // A port the route reaches with bytes only.
        if (qport_parport_reaches(*unreachable, 8) != 0)
            std::fprintf(stderr, "qportio: a %u-bit transfer is refused.\n%s\n",
                         transfer.width_bits, qport_access_message());
        else
            std::fprintf(stderr, "qportio: port 0x%04X is refused.\n%s\n",
                         static_cast<unsigned>(*unreachable), qport_access_message());
        return false;
    }
    std::fprintf(stderr, "qportio: port access is refused.\n%s\n", qport_access_message());
    return false;
}

// On the simulated build, a port that no device decodes is most often a
// mistyped one: said on standard error, so that standard output keeps only
// the values.
void mark_ports_no_device_decodes(const qportio::Transfer &transfer)
{
    using PortDecoded = int (*)(std::uint16_t);
    const auto decoded =
        reinterpret_cast<PortDecoded>(::dlsym(RTLD_DEFAULT, "qport_sim_port_decoded"));
    if (decoded == nullptr)
        return;
    for (const std::uint16_t first : transfer.ports) {
        bool any_decoded = false;
        for (unsigned byte = 0; byte < transfer.width_bits / 8; ++byte)
            any_decoded = any_decoded || decoded(static_cast<std::uint16_t>(first + byte)) != 0;
        if (!any_decoded)
            std::fprintf(stderr, "qportio: no device decodes port 0x%04X on the simulated PC: %s\n",
                         static_cast<unsigned>(first),
                         transfer.direction == qportio::Direction::read ? "it reads all ones"
                                                                        : "the write went nowhere");
    }
}

int run(const qportio::Transfer &transfer)
{
    if (const auto refused = qportio::refuse_unusable_machine())
        return *refused;
    if (!may_transfer(transfer))
        return qportio::exit_access_refused;
    int refusals = 0;
    qport_set_presenter(report_notice, &refusals);
    // The library takes port numbers from 0x8000 up as negative shorts.
    if (transfer.direction == qportio::Direction::write) {
        write_port(transfer.width_bits, static_cast<short>(transfer.ports.front()), transfer.value);
        if (refusals != 0)
            return qportio::exit_access_refused;
        mark_ports_no_device_decodes(transfer);
        return qportio::exit_done;
    }
    std::vector<std::uint32_t> values;
    for (const std::uint16_t port : transfer.ports) {
        values.push_back(read_port(transfer.width_bits, static_cast<short>(port)));
        if (refusals != 0)
            return qportio::exit_access_refused;
    }
    mark_ports_no_device_decodes(transfer);
    for (const std::uint32_t value : values) {
        if (transfer.print_hex)
            std::printf("0x%0*" PRIx32 "\n", static_cast<int>(transfer.width_bits / 4), value);
        else
            std::printf("%" PRIu32 "\n", value);
    }
    return qportio::finish_output();
}

} // namespace

int main(int argc, char **argv)
{
    // A reader that went away is an output failure with its own status, not
    // a death by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    if (const auto status = run_on_simulated_build(argc, argv))
        return *status;
    // On the simulated build by now, --simulated has done its work.
    const int skipped = argc > 1 && std::strcmp(argv[1], "--simulated") == 0 ? 2 : 1;
    // argc is 0 when a program is started with an empty argument list.
    const auto arguments =
        argc >= skipped
            ? std::span<const char *const>(argv + skipped, static_cast<std::size_t>(argc - skipped))
            : std::span<const char *const>();
    if (const auto status = qportio::run_machine_command(arguments))
        return *status;
    if (const auto status = qportio::run_recording_command(arguments))
        return *status;
    const auto command = qportio::parse_command_line(arguments);

    if (const auto *error = std::get_if<qportio::UsageError>(&command)) {
        return qportio::usage_error(error->text.c_str());
    }
    if (std::holds_alternative<qportio::ShowHelp>(command)) {
        print_help();
        return qportio::finish_output();
    }
    if (std::holds_alternative<qportio::ShowVersion>(command)) {
        std::printf("qportio %s (libqport.so.1, %s build)\n", QPORTIO_VERSION, qport_backend());
        return qportio::finish_output();
    }
    if (std::holds_alternative<qportio::ListPorts>(command)) {
        std::fputs(qportio::describe_parallel_ports("").c_str(), stdout);
        return qportio::finish_output();
    }
    return run(std::get<qportio::Transfer>(command));
}
