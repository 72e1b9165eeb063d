// Shared pieces of the Linux services' tests: a real temporary folder, environment variables
// set for one test, and small file helpers.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace linux_test {

class TemporaryFolder {
  public:
    TemporaryFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "pendra-linux-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary folder");
        }
        path_ = pattern;
    }
    ~TemporaryFolder() {
        // Make every folder writable again so that cleaning up cannot fail on a test's modes.
        std::error_code ignored;
        for (auto it = std::filesystem::recursive_directory_iterator(
                 path_, std::filesystem::directory_options::skip_permission_denied, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
            if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
                ::chmod(it->path().c_str(), 0700);
            }
        }
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

// Sets (or, with nullopt, unsets) environment variables and restores them afterwards.
class ScopedEnvironment {
  public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const std::string& name, const std::optional<std::string>& value) {
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

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

inline void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

inline mode_t modeOf(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return 0;
    }
    return status.st_mode & 07777;
}

inline bool lexists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// Polls a condition every 10 ms until it holds or the time is up; answers whether it held.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

}  // namespace linux_test

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <vector>

#include "platform/linux_platform.h"
#include "platform/property_list.h"

namespace linux_test {

// An application bundle whose executable is a copy of a real program, so that /proc shows the
// bundle as the process's executable.
inline std::string makeBundle(const std::string& folder, const std::string& name,
                              platform::PropertyList::Dictionary info,
                              const std::string& program = "/bin/sleep") {
    const std::string bundle = folder + "/" + name + ".app";
    std::filesystem::create_directories(bundle + "/Contents/MacOS");
    std::filesystem::create_directories(bundle + "/Contents/Resources");
    if (!info.count("CFBundleExecutable")) {
        info["CFBundleExecutable"] = platform::PropertyList(name);
    }
    const std::string* executable = info["CFBundleExecutable"].stringValue();
    const std::string target = bundle + "/Contents/MacOS/" + (executable ? *executable : name);
    platform::linux_platform::writeFileAtomically(bundle + "/Contents/Info.plist",
                                                  platform::PropertyList(std::move(info)).toXML());
    std::filesystem::copy_file(program, target, std::filesystem::copy_options::overwrite_existing);
    return bundle;
}

// Ends processes that a test started, whatever happened in the test.
// Launched applications are orphans by design; while a reaper exists this process adopts
// them, so that they are reaped here instead of lingering as zombies.
class ProcessReaper {
  public:
    ProcessReaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
    ~ProcessReaper() {
        for (pid_t pid : pids_) {
            ::kill(pid, SIGKILL);
            for (int attempt = 0; attempt < 500; ++attempt) {
                if (::waitpid(pid, nullptr, WNOHANG) != 0) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    void add(pid_t pid) { pids_.push_back(pid); }

  private:
    std::vector<pid_t> pids_;
};

inline bool processGone(pid_t pid) {
    if (::kill(pid, 0) != 0) {
        return true;
    }
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

}  // namespace linux_test

namespace linux_test {

// Waits, bounded, for a child to end; answers its raw wait status, or kills it and answers
// nothing when it did not end in time.
inline std::optional<int> waitForChild(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        int status = 0;
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return status;
        }
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

inline void appendFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << text;
}

// The peak resident memory of a process in kilobytes (VmHWM); -1 when it cannot be read.
inline long peakKilobytes(pid_t pid) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

}  // namespace linux_test
