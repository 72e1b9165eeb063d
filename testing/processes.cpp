#include "testing/processes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <thread>

#include "testing/files.h"

extern char** environ;

namespace test_support {

Environment Environment::ofThisProcess() {
    Environment environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) {
            environment.variables_[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    return environment;
}

Environment& Environment::set(const std::string& name, const std::string& value) {
    variables_[name] = value;
    return *this;
}

Environment& Environment::unset(const std::string& name) {
    variables_.erase(name);
    return *this;
}

std::optional<std::string> Environment::get(const std::string& name) const {
    const auto found = variables_.find(name);
    return found == variables_.end() ? std::nullopt : std::optional(found->second);
}

std::vector<std::string> Environment::entries() const {
    std::vector<std::string> entries;
    for (const auto& [name, value] : variables_) {
        entries.push_back(name + "=" + value);
    }
    return entries;
}

std::string programOnPath(const std::string& name, const std::optional<std::string>& searchPath) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* ownPath = std::getenv("PATH");
    std::stringstream folders(searchPath ? *searchPath : ownPath ? ownPath : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = folder + "/" + name;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

namespace {

// The search path an environment names, as the C library would use it.
std::string searchPathOf(const std::vector<std::string>& environment) {
    for (const auto& entry : environment) {
        if (entry.starts_with("PATH=")) {
            return entry.substr(5);
        }
    }
    return "/usr/bin:/bin";
}

int openOutput(const std::string& path, bool truncate) {
    return ::open(path.empty() ? "/dev/null" : path.c_str(),
                  O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND), 0600);
}

}  // namespace

pid_t startProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment, const StartOptions& options) {
    const std::string found = programOnPath(program, searchPathOf(environment));
    const std::string path = found.empty() ? program : found;  // exec fails with 127 then
    std::vector<std::string> argvText{program};
    argvText.insert(argvText.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envText = environment;
    std::vector<char*> argv, envp;
    for (auto& value : argvText) {
        argv.push_back(value.data());
    }
    argv.push_back(nullptr);
    for (auto& value : envText) {
        envp.push_back(value.data());
    }
    envp.push_back(nullptr);
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = openOutput(options.output, options.truncate);
    const int err = options.errors.empty() ? -1 : openOutput(options.errors, options.truncate);
    const std::optional<rlimit> limit =
        options.fileSizeLimit
            ? std::optional(rlimit{*options.fileSizeLimit, *options.fileSizeLimit})
            : std::nullopt;

    // A loop of this process may block signals that it reads itself (a quit request); the
    // program starts with none blocked.
    sigset_t noSignals;
    sigemptyset(&noSignals);

    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only calls that are safe after a fork from here on: nothing is allocated.
        ::sigprocmask(SIG_SETMASK, &noSignals, nullptr);
        if (options.ownProcessGroup) {
            ::setpgid(0, 0);
        }
        ::dup2(input, 0);
        ::dup2(out, 1);
        ::dup2(err >= 0 ? err : out, 2);
        if (options.inheritedDescriptor >= 0) {
            ::fcntl(options.inheritedDescriptor, F_SETFD, 0);
        }
        if (limit) {
            ::signal(SIGXFSZ, SIG_IGN);  // stays ignored across exec
            ::setrlimit(RLIMIT_FSIZE, &*limit);
        }
        ::execve(path.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    if (pid > 0 && options.ownProcessGroup) {
        // In both processes, so that the group exists when this call returns.
        ::setpgid(pid, pid);
    }
    for (const int descriptor : {input, out, err}) {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
    return pid;
}

pid_t startShortLivedChild(std::chrono::milliseconds life) {
    const auto microseconds = static_cast<useconds_t>(life.count() * 1000);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::usleep(microseconds);
        ::_exit(0);
    }
    return pid;
}

std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (true) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::optional<int> waitForExitOrKill(pid_t pid, std::chrono::milliseconds bound) {
    const std::optional<int> status = waitForExit(pid, bound);
    if (!status) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return status;
}

void killAndReap(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

bool processGone(pid_t pid) {
    if (::kill(pid, 0) != 0) {
        return true;
    }
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

ScopedEnvironment::~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

void ScopedEnvironment::set(const std::string& name, const std::optional<std::string>& value) {
    if (!saved_.count(name)) {
        const char* old = std::getenv(name.c_str());
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name.c_str());
    }
}

}  // namespace test_support
