// SPDX-License-Identifier: LGPL-2.1-or-later
#include "program_check.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace qport_run {
namespace {

constexpr int deepest_interpreter = 4;

class File {
public:
    explicit File(const std::string &path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~File()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    int fd() const { return fd_; }

    // Exactly size bytes at offset, or false.
    bool read_at(void *out, std::size_t size, off_t offset) const
    {
        return ::pread(fd_, out, size, offset) == static_cast<ssize_t>(size);
    }

private:
    int fd_;
};

std::string canonical(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string machine_name(unsigned machine)
{
    switch (machine) {
    case EM_386:
        return "32-bit x86";
    case EM_AARCH64:
        return "64-bit ARM";
    case EM_ARM:
        return "32-bit ARM";
    case EM_RISCV:
        return "RISC-V";
    default:
        return "ELF machine " + std::to_string(machine);
    }
}

std::string check_elf(const File &file, const unsigned char *ident)
{
    if (ident[EI_CLASS] != ELFCLASS64 || ident[EI_DATA] != ELFDATA2LSB) {
        Elf32_Ehdr header{};
        const unsigned machine =
            file.read_at(&header, sizeof header, 0) && ident[EI_DATA] == ELFDATA2LSB
                ? header.e_machine
                : 0;
        return "is a program for " + (machine != 0 ? machine_name(machine) : "another processor") +
               ", not x86-64: qport-run's library cannot enter it";
    }
    Elf64_Ehdr header{};
    if (!file.read_at(&header, sizeof header, 0))
        return "is a truncated ELF file";
    if (header.e_machine != EM_X86_64)
        return "is a program for " + machine_name(header.e_machine) +
               ", not x86-64: qport-run's library cannot enter it";
    if (header.e_type != ET_EXEC && header.e_type != ET_DYN)
        return "is an ELF file but no program";
    if (header.e_phentsize != sizeof(Elf64_Phdr))
        return "is an ELF file with program headers this tool does not know";

    std::vector<Elf64_Phdr> segments(header.e_phnum);
    if (!file.read_at(segments.data(), segments.size() * sizeof(Elf64_Phdr),
                      static_cast<off_t>(header.e_phoff)))
        return "is a truncated ELF file";
    for (const Elf64_Phdr &segment : segments) {
        if (segment.p_type != PT_INTERP)
            continue;
        if (segment.p_filesz == 0 || segment.p_filesz > PATH_MAX)
            return "names no loader that this tool can read";
        std::string loader(segment.p_filesz, '\0');
        if (!file.read_at(loader.data(), loader.size(), static_cast<off_t>(segment.p_offset)))
            return "is a truncated ELF file";
        loader.resize(std::strlen(loader.c_str()));
        if (canonical(loader) != canonical(standard_loader))
            return "is loaded by " + loader + ", not by the C library's " + standard_loader +
                   ": qport-run's library cannot enter it";
        return "";
    }
    return "is statically linked: no loader takes qport-run's library into it, so its port "
           "instructions could not be made through qport";
}

std::string check(const std::string &path, int depth)
{
    const File file(path);
    if (file.fd() < 0)
        return std::string("cannot be opened: ") + std::strerror(errno);
    struct stat status {};
    if (::fstat(file.fd(), &status) != 0 || !S_ISREG(status.st_mode))
        return "is not a regular file";
    // The loader runs set-id and capability programs in secure mode, where
    // it ignores a preloaded library.
    if ((status.st_mode & S_ISUID) != 0)
        return "is set-user-ID: the loader would leave qport-run's library out";
    if ((status.st_mode & S_ISGID) != 0 && (status.st_mode & S_IXGRP) != 0)
        return "is set-group-ID: the loader would leave qport-run's library out";
    if (::fgetxattr(file.fd(), "security.capability", nullptr, 0) >= 0)
        return "has file capabilities: the loader would leave qport-run's library out";

    unsigned char start[256] = {};
    const ssize_t length = ::pread(file.fd(), start, sizeof start, 0);
    if (length >= 2 && start[0] == '#' && start[1] == '!') {
        if (depth >= deepest_interpreter)
            return "runs through too many nested interpreters";
        const std::string line(reinterpret_cast<const char *>(start) + 2,
                               static_cast<std::size_t>(length) - 2);
        const std::size_t begin = line.find_first_not_of(" \t");
        const std::size_t end = line.find_first_of(" \t\n", begin);
        if (begin == std::string::npos || begin == end)
            return "is a script that names no interpreter";
        const std::string interpreter = line.substr(begin, end - begin);
        const std::string why = check(interpreter, depth + 1);
        return why.empty() ? "" : "is a script whose interpreter " + interpreter + " " + why;
    }
    if (length >= SELFMAG && std::memcmp(start, ELFMAG, SELFMAG) == 0 && length > EI_DATA)
        return check_elf(file, start);
    return "is neither an ELF program nor a script";
}

} // namespace

std::string why_not_enterable(const std::string &path) { return check(path, 0); }

std::string find_program(const std::string &name)
{
    if (name.empty())
        return "";
    if (name.find('/') != std::string::npos)
        return name;
    const char *path_variable = std::getenv("PATH");
    const std::string search =
        path_variable != nullptr ? path_variable : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= search.size()) {
        std::size_t end = search.find(':', start);
        if (end == std::string::npos)
            end = search.size();
        const std::string directory = search.substr(start, end - start);
        std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        struct stat status {};
        if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

} // namespace qport_run
