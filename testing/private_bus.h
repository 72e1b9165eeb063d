// A session bus of the tests' own: a dbus-daemon listening on a socket in a folder the test
// owns, started with an explicit environment and ended with this object.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace test_support {

class PrivateBus {
  public:
    // Starts the daemon, its socket in `folder` and its complaints (it cannot raise its file
    // limit without privileges) in `log`; without a folder, both go into a temporary folder of
    // its own. `environment` is its whole environment, which the services it starts inherit.
    explicit PrivateBus(const std::string& folder = {}, const std::string& log = {},
                        const std::vector<std::string>& environment = {"PATH=/usr/bin:/bin"});
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Whether the daemon is listening; when not, why in error().
    bool started() const { return !address_.empty(); }
    const std::string& error() const { return error_; }
    // What DBUS_SESSION_BUS_ADDRESS names for it.
    const std::string& address() const { return address_; }
    // The daemon's process, for what it spends; -1 when it did not start.
    pid_t daemon() const { return daemon_; }

  private:
    std::string ownFolder_;
    std::string address_;
    std::string error_;
    pid_t daemon_ = -1;
};

}  // namespace test_support
