// SPDX-License-Identifier: LGPL-2.1-or-later
// Runs code or a program in a child process, so that a case that would
// hang, deadlock or die by a signal fails instead of taking the suite with
// it.
#ifndef QPORT_TESTS_CHILD_PROCESS_H
#define QPORT_TESTS_CHILD_PROCESS_H

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

// What a child came to: its exit status, 128 + the signal that ended it
// (as a shell says it), or `hung` when it was still running at the deadline.
constexpr int hung = -1;

inline int wait_for(pid_t child, std::chrono::seconds deadline)
{
    const auto give_up = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > give_up) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return hung;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs body in a forked child, which exits with what body returns.
inline int in_child(const std::function<int()> &body,
                    std::chrono::seconds deadline = std::chrono::seconds(20))
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(body());
    return wait_for(child, deadline);
}

// What fn writes to standard error, captured instead of shown.
template <typename Fn> std::string standard_error_of(Fn fn)
{
    std::FILE *captured = std::tmpfile();
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(::fileno(captured), STDERR_FILENO);
    fn();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::rewind(captured);
    std::string text;
    for (int c = std::fgetc(captured); c != EOF; c = std::fgetc(captured))
        text += static_cast<char>(c);
    std::fclose(captured);
    return text;
}

inline std::string file_text(const std::string &path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A directory of its own for a case's files, removed afterwards.
class ScratchDirectory {
public:
    ScratchDirectory()
    {
        char name[] = "/tmp/qport-test-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~ScratchDirectory() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    ScratchDirectory(const ScratchDirectory &) = delete;
    ScratchDirectory &operator=(const ScratchDirectory &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct ProgramRun {
    std::vector<std::string> arguments; // the program first
    std::vector<std::string> environment;
    std::string directory;
    bool close_stdout = false;
    // Called while the program runs, with the write end of its standard input.
    std::function<void(int)> while_running;
};

struct ProgramOutcome {
    int status = hung;
    std::string out;
    std::string err;
};

inline ProgramOutcome run_program(const ProgramRun &run)
{
    const std::string out_path = run.directory + "/.stdout";
    const std::string err_path = run.directory + "/.stderr";
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0)
        return {};
    std::vector<char *> argv;
    for (const auto &argument : run.arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const auto &variable : run.environment)
        envp.push_back(const_cast<char *>(variable.c_str()));
    envp.push_back(nullptr);

    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(input[0], STDIN_FILENO);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::close(out);
        ::close(err);
        if (run.close_stdout)
            ::close(STDOUT_FILENO);
        if (::chdir(run.directory.c_str()) == 0)
            ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(input[0]);
    if (run.while_running)
        run.while_running(input[1]);
    ::close(input[1]);
    ProgramOutcome outcome;
    outcome.status = wait_for(child, std::chrono::seconds(20));
    outcome.out = file_text(out_path);
    outcome.err = file_text(err_path);
    return outcome;
}

inline std::size_t occurrences(const std::string &text, const std::string &part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

#endif
