// Programs started as processes of their own, the way the process, system and fault tests and
// the benchmarks start them: everything the child needs (argv, envp, the program's path, its
// output files) is made before the fork, so that the child only duplicates descriptors and
// executes; and waits on them that are always bounded.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

// A program's whole environment, given explicitly rather than inherited.
class Environment {
  public:
    Environment() = default;
    // A copy of this process's environment, to start from.
    static Environment ofThisProcess();

    Environment& set(const std::string& name, const std::string& value);
    Environment& unset(const std::string& name);
    std::optional<std::string> get(const std::string& name) const;
    // "NAME=value" for each variable, as execve takes them.
    std::vector<std::string> entries() const;

  private:
    std::map<std::string, std::string> variables_;
};

struct StartOptions {
    StartOptions() = default;
    // Standard output and error both to this file, the common case.
    StartOptions(std::string logFile) : output(std::move(logFile)) {}  // NOLINT: implicit

    std::string output;            // standard output goes to this file; /dev/null when empty
    std::string errors;            // standard error goes here; with the output when empty
    bool truncate = false;         // the files start empty instead of growing
    bool ownProcessGroup = false;  // so that the program and its children end together
    // Writes past this size fail, as on a full disk.
    std::optional<rlim_t> fileSizeLimit;
    // A descriptor the program keeps across exec, at its own number (for a pipe it writes to).
    int inheritedDescriptor = -1;
};

// Starts a program with exactly the given environment ("NAME=value" entries), reading nothing.
// A name without a slash is found on the PATH of that environment. Answers the pid, or -1 when
// no process could be made.
pid_t startProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment, const StartOptions& options = {});

// A child that ends by itself after a moment (at once for none), standing for a process that
// goes away; it stays a zombie, its id taken, until it is reaped.
pid_t startShortLivedChild(std::chrono::milliseconds life);

// The full path of a program, found on a search path (this process's PATH when none is given)
// as the shell would; a name with a slash is answered as it is; empty when none is executable.
std::string programOnPath(const std::string& name,
                          const std::optional<std::string>& searchPath = std::nullopt);

// A child's exit status (128 + signal when a signal ended it), or absent when it still runs at
// the end of the bound.
std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds bound);
// The same, but a child still running at the end of the bound is killed and reaped.
std::optional<int> waitForExitOrKill(pid_t pid, std::chrono::milliseconds bound);
// Kills a child's process group and the child, and reaps it.
void killAndReap(pid_t pid);

// True when the process no longer runs (ended, or ended and not yet reaped).
bool processGone(pid_t pid);

// Polls a condition every 10 ms until it holds or the time is up; answers whether it held.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(5));

// Sets (or, with nullopt, unsets) this process's own environment variables for code under test
// that reads them, and restores them at the end.
class ScopedEnvironment {
  public:
    ScopedEnvironment() = default;
    ScopedEnvironment(
        std::initializer_list<std::pair<std::string, std::optional<std::string>>> settings) {
        for (const auto& [name, value] : settings) {
            set(name, value);
        }
    }
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const std::string& name, const std::optional<std::string>& value);

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace test_support
