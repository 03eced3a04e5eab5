// SPDX-License-Identifier: LGPL-2.1-or-later
// exec and its relatives, posix_spawn(), system() and popen(): the
// environment they hand over, with the executing thread's grant in it
// (--follow-exec), or the notice that the new program runs without the trap.
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include <spawn.h>
#include <sys/mman.h>
#include <unistd.h>

#include "interposing.h"
#include "preload.h"

namespace qport_run::preload {

bool follow_exec = false;

namespace {

// In arrays: exec may follow vfork(), where nothing may allocate, and no
// static initializer may empty them after the constructor filled them.
char preloaded_self[PATH_MAX];
char preloaded_qport[PATH_MAX];

using exec_function = int (*)(const char *, char *const *, char *const *);
using spawn_function = int (*)(pid_t *, const char *, const posix_spawn_file_actions_t *,
                               const posix_spawnattr_t *, char *const *, char *const *);
using fexecve_function = int (*)(int, char *const *, char *const *);
using execveat_function = int (*)(int, const char *, char *const *, char *const *, int);
using system_function = int (*)(const char *);
using popen_function = FILE *(*)(const char *, const char *);
QPORT_RUN_LIBC(execve, exec_function)
QPORT_RUN_LIBC(execvpe, exec_function)
QPORT_RUN_LIBC(fexecve, fexecve_function)
QPORT_RUN_LIBC(execveat, execveat_function)
QPORT_RUN_LIBC(posix_spawn, spawn_function)
QPORT_RUN_LIBC(posix_spawnp, spawn_function)
QPORT_RUN_LIBC(system, system_function)
QPORT_RUN_LIBC(popen, popen_function)

// Memory for what an exec needs, from mmap(): exec may follow vfork(),
// where malloc() is not safe.
class ExecMemory {
public:
    explicit ExecMemory(std::size_t bytes) : bytes_(bytes)
    {
        void *memory =
            ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        memory_ = memory == MAP_FAILED ? nullptr : memory;
    }
    ~ExecMemory()
    {
        if (memory_ != nullptr)
            ::munmap(memory_, bytes_);
    }
    ExecMemory(const ExecMemory &) = delete;
    ExecMemory &operator=(const ExecMemory &) = delete;
    void *get() const { return memory_; }

private:
    std::size_t bytes_;
    void *memory_ = nullptr;
};

std::atomic<bool> told_exec{false};

// Without --follow-exec the program that exec starts runs without the
// trap: said once, on one line.
void tell_exec_without_trap(const char *file)
{
    if (told_exec.exchange(true))
        return;
    say("qport-run: ");
    say(program_invocation_short_name);
    say(" executes ");
    say(file);
    say(" without qport-run's trap; qport-run --follow-exec keeps it there\n");
}

bool starts_with_grant(const char *variable)
{
    return std::strncmp(variable, grant_variable, sizeof grant_variable - 1) == 0 &&
           variable[sizeof grant_variable - 1] == '=';
}

constexpr char preload_variable[] = "LD_PRELOAD=";
constexpr char qport_run_variables[] = "QPORT_RUN_";

bool starts_with(const char *text, const char *prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

std::size_t count_of(char *const *envp)
{
    std::size_t count = 0;
    while (envp != nullptr && envp[count] != nullptr)
        ++count;
    return count;
}

// The environment of a program that exec starts: with --follow-exec, envp
// with the executing thread's grant in it, as the kernel keeps a thread's
// permission across exec; without, envp without qport-run's preload and
// variables, whatever the program did with its own copy of them, and the
// notice.
class HandedOver {
public:
    HandedOver(const char *file, char *const *envp) : envp_(envp)
    {
        if (!follow_exec) {
            tell_exec_without_trap(file);
            leave_out_preload(envp);
            return;
        }
        std::size_t count = 0;
        for (char *const *entry = envp; entry != nullptr && *entry != nullptr; ++entry)
            count += starts_with_grant(*entry) ? 0U : 1U;
        const std::size_t pointers = (count + 2) * sizeof(char *);
        const std::size_t text = sizeof grant_variable + thread_grant.written() + 1;
        memory_.emplace(pointers + text);
        if (memory_->get() == nullptr)
            return;
        auto **environment = static_cast<char **>(memory_->get());
        char *variable = static_cast<char *>(memory_->get()) + pointers;
        std::size_t at = 0;
        for (char *const *entry = envp; entry != nullptr && *entry != nullptr; ++entry) {
            if (!starts_with_grant(*entry))
                environment[at++] = *entry;
        }
        std::memcpy(variable, grant_variable, sizeof grant_variable - 1);
        variable[sizeof grant_variable - 1] = '=';
        thread_grant.write(variable + sizeof grant_variable);
        environment[at++] = variable;
        environment[at] = nullptr;
        envp_ = environment;
    }
    char *const *get() const { return envp_; }

private:
    void leave_out_preload(char *const *envp)
    {
        const std::size_t count = count_of(envp);
        // The loader takes the last LD_PRELOAD; the others go.
        std::size_t preload = count;
        for (std::size_t entry = 0; entry < count; ++entry) {
            if (starts_with(envp[entry], preload_variable))
                preload = entry;
        }
        const std::size_t pointers = (count + 1) * sizeof(char *);
        const std::size_t text = preload < count ? std::strlen(envp[preload]) + 1 : 0;
        memory_.emplace(pointers + text);
        if (memory_->get() == nullptr)
            return;
        auto **environment = static_cast<char **>(memory_->get());
        char *kept_preload = static_cast<char *>(memory_->get()) + pointers;
        std::size_t at = 0;
        for (std::size_t entry = 0; entry < count; ++entry) {
            if (starts_with(envp[entry], qport_run_variables))
                continue;
            if (entry == preload) {
                if (write_preload_without_ours(envp[entry], kept_preload))
                    environment[at++] = kept_preload;
            } else if (!starts_with(envp[entry], preload_variable)) {
                environment[at++] = envp[entry];
            }
        }
        environment[at] = nullptr;
        envp_ = environment;
    }

    std::optional<ExecMemory> memory_;
    char *const *envp_;
};

// The arguments of execl() and its relatives as an array, ending with the
// null pointer; after it, in envp, execle()'s environment.
class ListedArguments {
public:
    ListedArguments(const char *first, va_list arguments, bool with_environment)
        : memory_(bytes_for(first, arguments))
    {
        auto **argv = static_cast<const char **>(memory_.get());
        if (argv == nullptr)
            return;
        std::size_t at = 0;
        argv[at++] = first;
        if (first != nullptr) {
            while (const char *argument = va_arg(arguments, const char *))
                argv[at++] = argument;
            argv[at] = nullptr;
        }
        argv_ = const_cast<char *const *>(argv);
        if (with_environment)
            envp_ = va_arg(arguments, char *const *);
    }
    char *const *argv() const { return argv_; }
    char *const *envp() const { return envp_; }

private:
    static std::size_t bytes_for(const char *first, va_list arguments)
    {
        va_list counted;
        va_copy(counted, arguments);
        std::size_t count = 1;
        if (first != nullptr) {
            while (va_arg(counted, const char *) != nullptr)
                ++count;
        }
        va_end(counted);
        return (count + 1) * sizeof(char *);
    }
    ExecMemory memory_;
    char *const *argv_ = nullptr;
    char *const *envp_ = environ;
};

// system() and popen() run the shell with environ: the grant goes into it
// for the call, and out again.
class GrantInEnviron {
public:
    GrantInEnviron()
    {
        if (!follow_exec) {
            tell_exec_without_trap("/bin/sh");
            return;
        }
        std::string text(thread_grant.written(), '\0');
        thread_grant.write(text.data());
        ::setenv(grant_variable, text.c_str(), 1);
    }
    ~GrantInEnviron()
    {
        if (follow_exec)
            ::unsetenv(grant_variable);
    }
    GrantInEnviron(const GrantInEnviron &) = delete;
    GrantInEnviron &operator=(const GrantInEnviron &) = delete;
};

int exec_listed(const char *file, const char *first, va_list arguments, bool search_path,
                bool with_environment)
{
    const ListedArguments listed(first, arguments, with_environment);
    if (listed.argv() == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    const HandedOver environment(file, listed.envp());
    if (search_path)
        return libc_execvpe()(file, listed.argv(), environment.get());
    return libc_execve()(file, listed.argv(), environment.get());
}

} // namespace

// Split at colons and spaces, as the loader splits LD_PRELOAD.
bool write_preload_without_ours(const char *variable, char *kept)
{
    std::size_t at = sizeof preload_variable - 1;
    std::memcpy(kept, preload_variable, at);
    const char *entry = variable + sizeof preload_variable - 1;
    bool any = false;
    while (*entry != '\0') {
        const std::size_t length = std::strcspn(entry, ": ");
        if (length != 0 && !preloaded_by_qport_run(entry, length)) {
            if (any)
                kept[at++] = ':';
            std::memcpy(kept + at, entry, length);
            at += length;
            any = true;
        }
        entry += length;
        if (*entry != '\0')
            ++entry;
    }
    kept[at] = '\0';
    return any;
}

void keep_preloaded_paths(const char *self, const char *qport_library)
{
    if (std::strlen(self) < sizeof preloaded_self)
        std::strcpy(preloaded_self, self);
    if (std::strlen(qport_library) < sizeof preloaded_qport)
        std::strcpy(preloaded_qport, qport_library);
}

bool preloaded_by_qport_run(const char *entry, std::size_t length)
{
    const auto is = [&](const char *path) {
        return path[0] != '\0' && std::strlen(path) == length &&
               std::strncmp(entry, path, length) == 0;
    };
    return is(preloaded_self) || is(preloaded_qport);
}

} // namespace qport_run::preload

// The definitions in front of the C library's are the C library's names,
// outside the preload's namespace.
using namespace qport_run::preload;

QPORT_RUN_EXPORT int execve(const char *path, char *const argv[], char *const envp[])
{
    const HandedOver environment(path, envp);
    return libc_execve()(path, argv, environment.get());
}

QPORT_RUN_EXPORT int execv(const char *path, char *const argv[])
{
    const HandedOver environment(path, environ);
    return libc_execve()(path, argv, environment.get());
}

QPORT_RUN_EXPORT int execvpe(const char *file, char *const argv[], char *const envp[])
{
    const HandedOver environment(file, envp);
    return libc_execvpe()(file, argv, environment.get());
}

QPORT_RUN_EXPORT int execvp(const char *file, char *const argv[])
{
    const HandedOver environment(file, environ);
    return libc_execvpe()(file, argv, environment.get());
}

QPORT_RUN_EXPORT int fexecve(int fd, char *const argv[], char *const envp[])
{
    const HandedOver environment("a program from a file descriptor", envp);
    return libc_fexecve()(fd, argv, environment.get());
}

QPORT_RUN_EXPORT int execveat(int fd, const char *path, char *const argv[], char *const envp[],
                              int flags)
{
    const HandedOver environment(path, envp);
    return libc_execveat()(fd, path, argv, environment.get(), flags);
}

QPORT_RUN_EXPORT int execl(const char *path, const char *arg, ...)
{
    va_list arguments;
    va_start(arguments, arg);
    const int result = exec_listed(path, arg, arguments, false, false);
    va_end(arguments);
    return result;
}

QPORT_RUN_EXPORT int execlp(const char *file, const char *arg, ...)
{
    va_list arguments;
    va_start(arguments, arg);
    const int result = exec_listed(file, arg, arguments, true, false);
    va_end(arguments);
    return result;
}

QPORT_RUN_EXPORT int execle(const char *path, const char *arg, ...)
{
    va_list arguments;
    va_start(arguments, arg);
    const int result = exec_listed(path, arg, arguments, false, true);
    va_end(arguments);
    return result;
}

QPORT_RUN_EXPORT int posix_spawn(pid_t *pid, const char *path,
                                 const posix_spawn_file_actions_t *file_actions,
                                 const posix_spawnattr_t *attrp, char *const argv[],
                                 char *const envp[])
{
    const HandedOver environment(path, envp);
    return libc_posix_spawn()(pid, path, file_actions, attrp, argv, environment.get());
}

QPORT_RUN_EXPORT int posix_spawnp(pid_t *pid, const char *file,
                                  const posix_spawn_file_actions_t *file_actions,
                                  const posix_spawnattr_t *attrp, char *const argv[],
                                  char *const envp[])
{
    const HandedOver environment(file, envp);
    return libc_posix_spawnp()(pid, file, file_actions, attrp, argv, environment.get());
}

QPORT_RUN_EXPORT int system(const char *command)
{
    // system(NULL) only asks whether there is a shell.
    if (command == nullptr)
        return libc_system()(command);
    const GrantInEnviron grant;
    return libc_system()(command);
}

QPORT_RUN_EXPORT FILE *popen(const char *command, const char *modes)
{
    const GrantInEnviron grant;
    return libc_popen()(command, modes);
}
