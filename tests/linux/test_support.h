// Shared pieces of the Linux services' tests: the test-support library's files, folders,
// environments and waits under the names these tests use, bundles whose executable is a real
// program, and a reaper for what the services launch.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
#include <vector>

#include "platform/linux_platform.h"
#include "platform/property_list.h"
#include "testing/files.h"
#include "testing/processes.h"

namespace linux_test {

using test_support::appendFile;
using test_support::eventually;
using test_support::itemExists;
using test_support::modeOf;
using test_support::processGone;
using test_support::readFile;
using test_support::ScopedEnvironment;
using test_support::TemporaryFolder;
using test_support::waitForExitOrKill;
using test_support::writeFile;

// A property-list file read by the test itself, which has no file manager installed.
inline std::optional<platform::PropertyList> readPropertyListFile(const std::string& path) {
    const std::string text = readFile(path);
    return platform::PropertyList::readFromBytes(
        {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

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
