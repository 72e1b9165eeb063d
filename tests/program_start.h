// Starting a built program as a process of its own, the way every process test does it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

namespace test_support {

// Starts a program with exactly the given environment; it reads nothing, and its standard
// output and error are appended to the log file. `fileSizeLimit` makes writes past that size
// fail, as on a full disk. Everything the child needs is made before the fork.
inline pid_t startProgram(const std::string& program, const std::vector<std::string>& arguments,
                          std::vector<std::string> environment, const std::string& logFile,
                          std::optional<rlim_t> fileSizeLimit = std::nullopt) {
    std::vector<std::string> argvText{program};
    argvText.insert(argvText.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv, envp;
    for (auto& value : argvText) {
        argv.push_back(value.data());
    }
    argv.push_back(nullptr);
    for (auto& value : environment) {
        envp.push_back(value.data());
    }
    envp.push_back(nullptr);
    const int out = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int nothing = ::open("/dev/null", O_RDONLY);
        ::dup2(nothing, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        if (fileSizeLimit) {
            ::signal(SIGXFSZ, SIG_IGN);  // stays ignored across exec
            rlimit limit{*fileSizeLimit, *fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out);
    return pid;
}

}  // namespace test_support
