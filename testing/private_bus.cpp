#include "testing/private_bus.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "testing/files.h"
#include "testing/processes.h"

namespace test_support {

using namespace std::chrono_literals;

PrivateBus::PrivateBus(const std::string& folder, const std::string& log,
                       const std::vector<std::string>& environment) {
    if (folder.empty()) {
        ownFolder_ = makeTemporaryFolder("pendra-bus-");
    }
    const std::string socketFolder = folder.empty() ? ownFolder_ : folder;
    const std::string logFile = log.empty() ? socketFolder + "/bus.log" : log;
    int addressPipe[2];
    if (::pipe2(addressPipe, O_CLOEXEC) != 0) {
        error_ = "no pipe for the bus's address";
        return;
    }
    StartOptions options;
    options.errors = logFile;
    options.inheritedDescriptor = addressPipe[1];  // the daemon writes its address here
    daemon_ = startProgram(
        "dbus-daemon",
        {"--session", "--nofork", "--nopidfile", "--address=unix:path=" + socketFolder + "/bus",
         "--print-address=" + std::to_string(addressPipe[1])},
        environment, options);
    ::close(addressPipe[1]);
    // The daemon writes its address once it listens; the read is bounded.
    std::string address;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    ::fcntl(addressPipe[0], F_SETFL, O_NONBLOCK);
    while (daemon_ > 0 && address.find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        char buffer[256];
        const ssize_t count = ::read(addressPipe[0], buffer, sizeof buffer);
        if (count > 0) {
            address.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0) {
            break;
        } else {
            std::this_thread::sleep_for(10ms);
        }
    }
    ::close(addressPipe[0]);
    if (address.find('\n') == std::string::npos) {
        error_ = "dbus-daemon did not start (is it installed?); see " + logFile;
        return;
    }
    address_ = address.substr(0, address.find('\n'));
}

PrivateBus::~PrivateBus() {
    if (daemon_ > 0) {
        killAndReap(daemon_);
    }
    if (!ownFolder_.empty()) {
        removeTree(ownFolder_);
    }
}

}  // namespace test_support
