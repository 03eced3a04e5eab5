// qportio: reads or writes one I/O port from the command line, for scripts.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <span>

#include "qport.h"
#include "qport_ext.h"

#include "command_line.h"
#include "machine_commands.h"

namespace {

// Exit statuses, documented in the help text.
constexpr int exit_done = 0;
constexpr int exit_output_failed = 1;
constexpr int exit_usage = 2;
constexpr int exit_access_refused = 3;

constexpr const char *help_text =
    R"(Usage: qportio read [-w 8|16|32] [-x] PORT
       qportio write [-w 8|16|32] PORT VALUE
       qportio reset | show [-n COUNT]
       qportio --help | --version

Reads or writes one I/O port through libqport.so.1.

Options:
  -w, --width BITS  transfer 8 (the default), 16 or 32 bits; a wide transfer
                    covers PORT and the ports after it, lowest byte at PORT
  -x, --hex         print the value read in hex with 2, 4 or 8 digits
                    (0x7f, 0x7f00) instead of unsigned decimal
  -h, --help        show this text
      --version     show the version and which build of libqport is loaded

PORT is 0..65535, in decimal (888) or hex (0x378); a 16-bit transfer may
start at 0xFFFE at most, a 32-bit one at 0xFFFC.
VALUE is decimal or hex too: unsigned up to 255, 65535 or 4294967295 for
8, 16 or 32 bits, or negative down to -128, -32768 or -2147483648.
A read prints the value on a line of its own; a write prints nothing.

On the simulated build with QPORT_SIM_MACHINE=PATH, every process naming
PATH shares one port space; there "reset" puts it back to its reset state
and "show" prints its device, parallel port registers and last COUNT (10)
transfers.

Exit status:
  0  the transfer was made
  1  the value read could not be written to standard output
  2  bad arguments; nothing was transferred
  3  port access is refused; the cause and its remedy go to standard error
     and nothing was transferred
  4  reset or show was run on the hardware build

Port access needs root or the CAP_SYS_RAWIO capability. To try qportio
without either, load the simulated build of the library from the directory
qport/simulated beside libqport.so.1; its ports 0x378 to 0x37A behave like
a printer port:
  LD_LIBRARY_PATH=/usr/lib/x86_64-linux-gnu/qport/simulated qportio read 0x379
)";

void print_usage_error(const std::string &text)
{
    std::fprintf(stderr, "qportio: %s\nTry 'qportio --help' for more information.\n", text.c_str());
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

// Output that could not be written is a failure: a script would otherwise
// take an empty or cut result for a value.
int finish_output()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "qportio: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return exit_output_failed;
    }
    return exit_done;
}

int run(const qportio::Transfer &transfer)
{
    // Asked before any transfer, so that a refusal is reported here, once,
    // instead of through the library's notice.
    if (qport_access_status() != QPORT_ACCESS_GRANTED) {
        std::fprintf(stderr, "qportio: port access is refused.\n%s\n", qport_access_message());
        return exit_access_refused;
    }
    // The library takes port numbers from 0x8000 up as negative shorts.
    const auto port = static_cast<short>(transfer.port);
    if (transfer.direction == qportio::Direction::write) {
        write_port(transfer.width_bits, port, transfer.value);
        return exit_done;
    }
    const std::uint32_t value = read_port(transfer.width_bits, port);
    if (transfer.print_hex)
        std::printf("0x%0*" PRIx32 "\n", static_cast<int>(transfer.width_bits / 4), value);
    else
        std::printf("%" PRIu32 "\n", value);
    return finish_output();
}

} // namespace

int main(int argc, char **argv)
{
    // argc is 0 when a program is started with an empty argument list.
    const auto arguments =
        argc > 0 ? std::span<const char *const>(argv + 1, static_cast<std::size_t>(argc - 1))
                 : std::span<const char *const>();
    if (const auto status = qportio::run_machine_command(arguments))
        return *status;
    const auto command = qportio::parse_command_line(arguments);

    if (const auto *error = std::get_if<qportio::UsageError>(&command)) {
        print_usage_error(error->text);
        return exit_usage;
    }
    if (std::holds_alternative<qportio::ShowHelp>(command)) {
        std::fputs(help_text, stdout);
        return finish_output();
    }
    if (std::holds_alternative<qportio::ShowVersion>(command)) {
        std::printf("qportio %s (libqport.so.1, %s build)\n", QPORTIO_VERSION, qport_backend());
        return finish_output();
    }
    return run(std::get<qportio::Transfer>(command));
}
