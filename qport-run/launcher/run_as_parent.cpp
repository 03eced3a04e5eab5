// SPDX-License-Identifier: LGPL-2.1-or-later
#include "run_as_parent.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <ftw.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qport_run {

namespace {

// $XDG_RUNTIME_DIR only as the user's own folder that nobody else may
// enter; the environment is the user's, the folder it names may not be.
std::string private_base()
{
    const char *runtime = ::secure_getenv("XDG_RUNTIME_DIR");
    struct stat about {};
    if (runtime != nullptr && runtime[0] == '/' && ::lstat(runtime, &about) == 0 &&
        S_ISDIR(about.st_mode) && about.st_uid == ::geteuid() && (about.st_mode & 077) == 0)
        return runtime;
    return "/tmp";
}

int remove_entry(const char *path, const struct stat * /*about*/, int /*kind*/, FTW * /*where*/)
{
    ::remove(path);
    return 0;
}

constexpr int forwarded_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,
                                     SIGUSR1, SIGUSR2, SIGALRM, SIGCONT};

volatile pid_t child = 0;

// The terminal signals its whole foreground process group, the program
// with qport-run: only what a process sent is passed on, and never back to
// the program that sent it.
void pass_on(int signo, siginfo_t *info, void * /*context*/)
{
    const int saved_errno = errno;
    if (info->si_code <= 0 && info->si_pid != child && child > 0)
        ::kill(child, signo);
    errno = saved_errno;
}

void say_and_end(const char *program, int error)
{
    std::string text = "qport-run: cannot execute ";
    text += program;
    text += ": ";
    text += std::strerror(error);
    text += "\n";
    (void)!::write(STDERR_FILENO, text.data(), text.size());
    ::_exit(error == ENOENT ? 127 : 126);
}

} // namespace

RunFolder::RunFolder()
{
    std::string pattern = private_base() + "/qport-run.XXXXXX";
    // mkdtemp makes it 0700, under a name nobody could have prepared.
    if (::mkdtemp(pattern.data()) != nullptr)
        path_ = pattern;
}

RunFolder::~RunFolder()
{
    if (!path_.empty())
        ::nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

int run_as_child(const char *program, char *const argv[], char *const envp[])
{
    // Blocked until the handlers are there: a signal in between would end
    // qport-run and leave the run's folder behind.
    sigset_t forwarded;
    sigset_t saved;
    ::sigemptyset(&forwarded);
    for (const int signo : forwarded_signals)
        ::sigaddset(&forwarded, signo);
    ::sigprocmask(SIG_BLOCK, &forwarded, &saved);

    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::sigprocmask(SIG_SETMASK, &saved, nullptr);
        errno = error;
        return -1;
    }
    if (pid == 0) {
        // The program does not outlive qport-run.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::sigprocmask(SIG_SETMASK, &saved, nullptr);
        ::execve(program, argv, envp);
        say_and_end(program, errno);
    }
    child = pid;
    for (const int signo : forwarded_signals) {
        struct sigaction inherited {};
        ::sigaction(signo, nullptr, &inherited);
        // A signal the caller ignores (a background job's SIGINT) stays
        // ignored, as it is for the program.
        if (inherited.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_sigaction = pass_on;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        ::sigfillset(&action.sa_mask);
        ::sigaction(signo, &action, nullptr);
    }
    ::sigprocmask(SIG_SETMASK, &saved, nullptr);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

void end_as(int wait_status)
{
    if (WIFEXITED(wait_status))
        std::exit(WEXITSTATUS(wait_status));
    const int signo = WTERMSIG(wait_status);
    const struct rlimit no_core {};
    ::setrlimit(RLIMIT_CORE, &no_core);
    ::signal(signo, SIG_DFL);
    sigset_t only;
    ::sigemptyset(&only);
    ::sigaddset(&only, signo);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signo);
    // A signal that does not end a process (none of those that ended the
    // program): as a shell reports one.
    std::exit(128 + signo);
}

} // namespace qport_run
