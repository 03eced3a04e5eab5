// SPDX-License-Identifier: LGPL-2.1-or-later
// The start, before the program's main(): the port permission the process
// inherited given up, qport loaded, the trap installed.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "device_files.h"
#include "port_grant.h"
#include "preload.h"
#include "process_hygiene.h"
#include "qport.h"
#include "qport_entry_names.h"
#include "qport_ext.h"
#include "qport_sim.h"

namespace qport_run::preload {

namespace {

int tell_on_stderr(const char *title, const char *text, void * /*user_data*/)
{
    say("qport-run: ");
    say(title);
    say(": ");
    say(text);
    say("\n");
    return 1;
}

// The path this library was loaded from, as it stands in LD_PRELOAD.
std::string own_path()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void *>(&own_path), &info) == 0 || info.dli_fname == nullptr)
        return "";
    return info.dli_fname;
}

// Takes this library (and the qport library qport-run preloads with it)
// out of LD_PRELOAD, and qport-run's variables out of the environment, so
// that programs this one executes run without them. A program that keeps
// an environment of its own (a shell) still has them there: exec leaves
// them out of what it hands over.
void leave_environment_of_children()
{
    if (const char *preload = std::getenv("LD_PRELOAD"); preload != nullptr) {
        const std::string variable = std::string("LD_PRELOAD=") + preload;
        std::string kept(variable.size() + 1, '\0');
        if (write_preload_without_ours(variable.c_str(), kept.data()))
            ::setenv("LD_PRELOAD", kept.c_str() + sizeof "LD_PRELOAD=" - 1, 1);
        else
            ::unsetenv("LD_PRELOAD");
    }
    ::unsetenv("QPORT_RUN_LIBRARY");
    ::unsetenv("QPORT_RUN_FOLLOW_EXEC");
}

template <typename Function> void find_entry(void *library, const char *name, Function &entry)
{
    entry = reinterpret_cast<Function>(::dlsym(library, name));
    if (entry == nullptr)
        give_up("the qport library lacks its port transfers");
}

void load_qport(const char *path)
{
    calling_qport = true;
    void *library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    // The hardware build asks the kernel for every port as it loads: this
    // thread gives that up again, and takes it only around each transfer.
    ::syscall(SYS_ioperm, 0, port_count, 0);
    calling_qport = false;
    if (library == nullptr) {
        say("qport-run: ");
        say(::dlerror());
        say("\n");
        ::_exit(125);
    }
    find_entry(library, qport::entry_names::inport, qport.in32);
    find_entry(library, qport::entry_names::inportw, qport.in16);
    find_entry(library, qport::entry_names::inportb, qport.in8);
    find_entry(library, qport::entry_names::outport, qport.out32);
    find_entry(library, qport::entry_names::outportw, qport.out16);
    find_entry(library, qport::entry_names::outportb, qport.out8);
    decltype(&::qport_backend) backend = nullptr;
    decltype(&::qport_set_presenter) set_presenter = nullptr;
    find_entry(library, "qport_backend", backend);
    find_entry(library, "qport_set_presenter", set_presenter);
    qport.hardware = std::strcmp(backend(), "hardware") == 0;
    // A QPORT_SIM_ variable naming what the simulated PC lacks is a typo of
    // the user's: the program does not start on another PC than the one
    // asked for. The library has named the word and what it can be.
    if (!qport.hardware) {
        const auto understood = reinterpret_cast<decltype(&::qport_sim_environment_understood)>(
            ::dlsym(library, "qport_sim_environment_understood"));
        if (understood != nullptr && understood() == 0)
            give_up("not running the program: the environment names what the simulated PC "
                    "lacks (above)");
    }
    // On the simulated PC, /dev/parportN are its parallel ports, /dev/port
    // its ports.
    if (!qport.hardware)
        qport_run::serve_simulated_device_files(library, qport.in8, qport.out8);
    // The program is no window program of qport's: its notices go to
    // standard error and never wait for an answer.
    set_presenter(tell_on_stderr, nullptr);
}

// Neither call needs privilege; a kernel without port access (ENOSYS) has
// nothing to give up.
bool give_up_permission_of_this_thread() { return qport::process::give_up_port_permission() == 0; }

std::atomic<int> threads_given_up{0};

void give_up_on_request(int /*signo*/)
{
    const int saved_errno = errno;
    if (give_up_permission_of_this_thread())
        threads_given_up.fetch_add(1);
    errno = saved_errno;
}

// Permission is kept per thread, so threads that an earlier library's
// constructor started (there normally are none) give theirs up too: each
// is asked with a signal and answers from its handler.
void give_up_permission_of_other_threads()
{
    DIR *tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr)
        give_up("cannot list this process's threads (/proc/self/task)");
    const pid_t self = ::gettid();
    struct sigaction ask {};
    ask.sa_handler = give_up_on_request;
    ::sigfillset(&ask.sa_mask);
    struct sigaction saved {};
    bool asked_any = false;
    int asked = 0;
    while (const dirent *task = ::readdir(tasks)) {
        const auto thread = static_cast<pid_t>(std::strtol(task->d_name, nullptr, 10));
        if (thread <= 0 || thread == self)
            continue;
        if (!asked_any) {
            libc_sigaction()(SIGRTMAX, &ask, &saved);
            asked_any = true;
        }
        // A thread that is gone holds nothing.
        if (::syscall(SYS_tgkill, ::getpid(), thread, SIGRTMAX) == 0)
            ++asked;
    }
    ::closedir(tasks);
    if (!asked_any)
        return;
    for (int wait = 0; wait < 2000 && threads_given_up.load() < asked; ++wait)
        ::usleep(1000);
    libc_sigaction()(SIGRTMAX, &saved, nullptr);
    if (threads_given_up.load() < asked)
        give_up("a thread of this process did not give up its port permission");
}

// The grant the program starts with, from qport-run or from the program
// that executed this one; it leaves the environment either way.
void take_grant_from_environment()
{
    if (const char *text = ::secure_getenv(grant_variable); text != nullptr) {
        const std::optional<PortGrant> grant = PortGrant::parse(text);
        if (!grant)
            give_up("QPORT_RUN_PORT_GRANT is malformed");
        thread_grant = *grant;
        ::unsetenv(grant_variable);
    }
}

__attribute__((constructor)) void start()
{
    // Port permission survives exec: whatever this process inherited goes,
    // before anything of the program can use it.
    if (!give_up_permission_of_this_thread())
        give_up("cannot give up the port permission this process inherited");
    give_up_permission_of_other_threads();

    const char *library = ::secure_getenv("QPORT_RUN_LIBRARY");
    if (library == nullptr || *library == '\0')
        give_up("libqport-run.so is loaded by qport-run only (QPORT_RUN_LIBRARY is not set)");
    const std::string library_path = library;
    const char *follow = ::secure_getenv("QPORT_RUN_FOLLOW_EXEC");
    follow_exec = follow != nullptr && std::strcmp(follow, "1") == 0;
    keep_preloaded_paths(own_path().c_str(), library_path.c_str());
    if (!follow_exec)
        leave_environment_of_children();
    take_grant_from_environment();

    struct sigaction inherited {};
    libc_sigaction()(SIGSEGV, nullptr, &inherited);
    load_qport(library_path.c_str());
    {
        const SignalsBlocked blocked;
        {
            const ProgramSegvLock lock;
            if (!program_set_segv_action)
                program_segv_action = inherited;
            handler_on_alternate_stack = (program_segv_action.sa_flags & SA_ONSTACK) != 0;
        }
        install_trap();
        trap_installed = true;
    }
    ::pthread_atfork(nullptr, nullptr, forked_child_of_own_thread);
    start_rewriting_sites();
}

} // namespace

} // namespace qport_run::preload
