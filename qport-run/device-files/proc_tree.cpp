// SPDX-License-Identifier: LGPL-2.1-or-later
// /proc/sys/dev/parport on the simulated PC (see served_files.h): served
// from a private directory of this process (mkdtemp, mode 0700), holding
// what parport_pc shows there for the simulated machine's parallel ports.
#include "served_files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace qport_run::served {
namespace {

std::mutex proc_mutex;
char proc_directory[64] = {};
pid_t proc_owner = 0;

bool put_file(int directory, const char *name, const char *text)
{
    const int file =
        ::openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0444);
    if (file < 0)
        return false;
    const std::size_t length = std::strlen(text);
    const bool written = libc_write()(file, text, length) == static_cast<ssize_t>(length);
    libc_close()(file);
    return written;
}

int put_directory(int parent, const char *name)
{
    if (::mkdirat(parent, name, 0700) != 0)
        return -1;
    return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// What parport_pc shows for a port without EPP, ECP or a bidirectional
// data register, working without its interrupt.
bool put_port_directory(int tree, int number, std::uint16_t base)
{
    char name[16];
    std::snprintf(name, sizeof name, "parport%d", number);
    const int port = put_directory(tree, name);
    if (port < 0)
        return false;
    char base_text[32];
    std::snprintf(base_text, sizeof base_text, "%u\t0\n", base);
    bool done = put_file(port, "base-addr", base_text) && put_file(port, "irq", "-1\n") &&
                put_file(port, "dma", "-1\n") && put_file(port, "modes", "PCSPP\n") &&
                put_file(port, "spintime", "500\n");
    const int devices = done ? put_directory(port, "devices") : -1;
    done = devices >= 0 && put_file(devices, "active", "none\n");
    if (devices >= 0)
        libc_close()(devices);
    libc_close()(port);
    return done;
}

void remove_tree(int directory)
{
    DIR *listing = ::fdopendir(directory);
    if (listing == nullptr)
        return;
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        const int inner = ::openat(::dirfd(listing), entry->d_name,
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (inner >= 0) {
            remove_tree(inner);
            ::unlinkat(::dirfd(listing), entry->d_name, AT_REMOVEDIR);
        } else {
            ::unlinkat(::dirfd(listing), entry->d_name, 0);
        }
    }
    ::closedir(listing);
}

__attribute__((destructor)) void remove_proc_tree()
{
    if (proc_directory[0] == '\0' || proc_owner != ::getpid())
        return;
    const int tree = ::open(proc_directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (tree >= 0)
        remove_tree(tree);
    ::rmdir(proc_directory);
}

constexpr char tree_prefix[] = "qport-run-parport-";

// Trees that processes which ended without their destructors (killed, or
// crashed) left in /tmp: this user's own directories, named after a process
// that no longer runs. Each is entered without following a link and
// emptied through its descriptor, so nobody else's file can be reached.
void remove_trees_of_ended_processes()
{
    const int temporary = ::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = temporary >= 0 ? ::fdopendir(temporary) : nullptr;
    if (listing == nullptr) {
        if (temporary >= 0)
            libc_close()(temporary);
        return;
    }
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strncmp(entry->d_name, tree_prefix, sizeof tree_prefix - 1) != 0)
            continue;
        const long pid = std::strtol(entry->d_name + sizeof tree_prefix - 1, nullptr, 10);
        if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;
        const int tree = ::openat(::dirfd(listing), entry->d_name,
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat status {};
        if (tree < 0)
            continue;
        if (::fstat(tree, &status) != 0 || status.st_uid != ::geteuid() ||
            (status.st_mode & 077) != 0) {
            libc_close()(tree);
            continue;
        }
        remove_tree(tree);
        ::unlinkat(::dirfd(listing), entry->d_name, AT_REMOVEDIR);
    }
    ::closedir(listing);
}

// The private directory holding parport/, made on first use in this
// process: a new directory of /tmp (not $TMPDIR: nothing in the
// environment steers it) that only this user may enter, checked as made.
const char *proc_tree()
{
    const std::lock_guard lock(proc_mutex);
    if (proc_directory[0] != '\0' && proc_owner == ::getpid())
        return proc_directory;
    remove_trees_of_ended_processes();
    char made[sizeof proc_directory];
    std::snprintf(made, sizeof made, "/tmp/%s%d-XXXXXX", tree_prefix, ::getpid());
    if (::mkdtemp(made) == nullptr)
        return nullptr;
    const int root = ::open(made, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (root < 0 || ::fstat(root, &status) != 0 || status.st_uid != ::geteuid() ||
        (status.st_mode & 077) != 0) {
        if (root >= 0)
            libc_close()(root);
        return nullptr;
    }
    std::array<std::uint16_t, max_ports> bases{};
    const int count = parallel_port_bases(bases);
    const int tree = put_directory(root, "parport");
    bool done = tree >= 0;
    for (int number = 0; done && number < count; ++number)
        done = put_port_directory(tree, number, bases[static_cast<std::size_t>(number)]);
    const int defaults = done ? put_directory(tree, "default") : -1;
    done = defaults >= 0 && put_file(defaults, "spintime", "500\n") &&
           put_file(defaults, "timeslice", "200\n");
    if (defaults >= 0)
        libc_close()(defaults);
    if (tree >= 0)
        libc_close()(tree);
    std::memcpy(proc_directory, made, sizeof made);
    proc_owner = ::getpid();
    if (!done) {
        remove_tree(root);
        ::rmdir(made);
        proc_directory[0] = '\0';
        return nullptr;
    }
    libc_close()(root);
    return proc_directory;
}

} // namespace

bool is_proc_path(const char *path)
{
    return std::strncmp(path, proc_prefix, sizeof proc_prefix - 1) == 0 &&
           (path[sizeof proc_prefix - 1] == '\0' || path[sizeof proc_prefix - 1] == '/');
}

const char *served_path(const char *path)
{
    thread_local char rewritten[4096];
    const char *tree = proc_tree();
    if (tree == nullptr)
        return path;
    const int length = std::snprintf(rewritten, sizeof rewritten, "%s/parport%s", tree,
                                     path + sizeof proc_prefix - 1);
    return length > 0 && static_cast<std::size_t>(length) < sizeof rewritten ? rewritten : path;
}

} // namespace qport_run::served
