#pragma once
// Runs a program to its end, or kills it at a deadline, and collects its standard output, standard
// error and exit status. It inherits this process's environment; its standard input is /dev/null.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

// A program built beside this one (in the same build folder), found through this process's own
// path: a path compiled in would make the compile differ, and miss the compiler cache, in every clone.
inline std::string SiblingProgram(const std::string& strName)
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (error ? std::filesystem::path(strName) : self.parent_path() / strName).string();
}

struct CProgramRun {
    bool bStarted = false;
    bool bTimedOut = false;   // still running at the deadline, and killed
    int nStatus = -1;         // its exit status; -1 when it did not exit (killed, or not started)
    std::string strOut;
    std::string strErr;
};

// whileRunning, when given, is called with the program's process id at least every 10 ms while it
// runs (to signal it when something has happened, say).
inline CProgramRun RunProgram(const std::vector<std::string>& args, std::chrono::milliseconds timeout,
                              const std::function<void(pid_t)>& whileRunning = {})
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    CProgramRun run;
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (args.empty() || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        for (int fd : {out[0], out[1], err[0], err[1]})
            if (fd >= 0)
                close(fd);
        return run;
    }
    std::vector<char*> argv;
    for (const std::string& str : args)
        argv.push_back(const_cast<char*>(str.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    run.bStarted = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);

    // Both pipes to their end: the program closes them when it exits.
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&run.strOut, &run.strErr};
    while (run.bStarted && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0) {
            run.bTimedOut = true;
            break;
        }
        if (whileRunning)
            whileRunning(pid);
        const int nWaitMs = whileRunning ? std::min<int>(10, static_cast<int>(remaining.count())) : static_cast<int>(remaining.count());
        if (poll(fds, 2, nWaitMs) < 0 && errno != EINTR)
            break;
        for (int n = 0; n < 2; ++n) {
            if (fds[n].fd < 0 || fds[n].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t nRead = read(fds[n].fd, buffer, sizeof buffer);
            if (nRead > 0) {
                texts[n]->append(buffer, static_cast<size_t>(nRead));
            } else if (nRead == 0 || errno != EINTR) {
                close(fds[n].fd);
                fds[n].fd = -1;
            }
        }
    }
    for (pollfd& pfd : fds)
        if (pfd.fd >= 0)
            close(pfd.fd);
    if (!run.bStarted)
        return run;

    // Its exit, by the deadline too: it may have closed its output and gone on.
    int nWait = 0;
    pid_t nDone = 0;
    while (!run.bTimedOut) {
        nDone = waitpid(pid, &nWait, WNOHANG);
        if (nDone == pid || (nDone < 0 && errno != EINTR))
            break;
        if (Clock::now() >= deadline)
            run.bTimedOut = true;
        else
            poll(nullptr, 0, 5);
    }
    if (run.bTimedOut) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &nWait, 0) < 0 && errno == EINTR) {
        }
    } else if (nDone == pid && WIFEXITED(nWait)) {
        run.nStatus = WEXITSTATUS(nWait);
    }
    return run;
}
