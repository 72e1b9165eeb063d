// A whole session for the helper and its counterparts, for the process tests and the benchmarks
// alike: a private session bus, a home with its own XDG folders, temporary folder and
// Applications folder, the stand-in main applications and the sample document application
// installed there, and the processes started in it, all ended with it. The session lives in the
// environment it gives its programs; this process's own environment stays as it is.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/files.h"
#include "testing/private_bus.h"
#include "testing/processes.h"

namespace private_session {

// The bundles as the build assembled them.
extern const std::string kHelperBundle;
extern const std::string kDevtoolsBundles;
inline constexpr const char* kHelperExecutable = "Contents/MacOS/PendraMacSandboxHelper";
inline constexpr const char* kHelperIdentifier = "com.orvano.PendraMacSandboxHelper";
inline constexpr const char* kMainApplicationIdentifier = "com.orvano.PendraMac";
// Where an application answers events on the bus, as its clients address it.
inline constexpr const char* kApplicationPath = "/com/orvano/Pendra/Application";
inline constexpr const char* kApplicationInterface = "com.orvano.Pendra.Application";

// The sample application's document, and a front window named apart from it, so that a capture
// shows which question it asked.
inline constexpr const char* kDocumentName = "Quarterly Report.txt";
inline constexpr const char* kDocumentURL = "file:///home/ana/Quarterly%20Report.txt";
inline constexpr const char* kWindowName = "Quarterly Report - Editing";

// A connector for the sample application: its script asks for the front window's name (where
// the generic script asks for the document's), and its callback handler turns the quick-entry
// URL's query into a title and notes.
extern const char* const kSampleConnector;

// True when the bundles a session runs have been built and dbus-daemon is there; otherwise
// `why` says what is missing.
bool canStart(std::string* why);

class PrivateSession {
  public:
    // Makes the folders and the environment that points at them: this process's own, with the
    // session's folders in place of the user's and no desktop.
    PrivateSession();
    // Ends what was started, then whatever runs from the session's folder (what the helper
    // launched), then the bus; removes the folder unless it is kept.
    ~PrivateSession();
    PrivateSession(const PrivateSession&) = delete;
    PrivateSession& operator=(const PrivateSession&) = delete;

    // Starts the private bus and names it in the environment; false when it did not come up.
    bool startBus();
    // The bus daemon's process, for what it spends; -1 before the bus is up.
    pid_t busDaemon() const { return bus_ ? bus_->daemon() : -1; }
    // What DBUS_SESSION_BUS_ADDRESS names in the session; empty before the bus is up.
    std::string busAddress() const { return bus_ ? bus_->address() : std::string(); }
    // What every program of the session starts with.
    const test_support::Environment& environment() const { return environment_; }
    // Leaves the folder, and the logs in it, in place at the end.
    void keepFolder() { folder_.keep(); }

    const std::string& root() const { return folder_.path(); }
    std::string path(const std::string& relative) const { return folder_ / relative; }
    std::string mainApplication(bool development = false) const;
    std::string sampleApplication() const;
    std::string installedHelper() const;

    // The helper copied into its designated folder, with the connector entries given (the
    // inner text of the table's dictionary) added to its table; answers its executable.
    std::string installHelper(const std::string& extraConnectors = {});
    // Adds connector entries to a helper bundle's table; false when the table has no dictionary.
    static bool addConnectors(const std::string& helperBundle, const std::string& entries);

    // Starts a program with the session's environment in its own process group, its output in
    // logs/<name>.out and .err; answers its pid.
    pid_t start(const std::string& program, const std::vector<std::string>& arguments,
                const std::string& name);
    // The sample application with its document, started, then awaited (bounded) until its
    // output says that it is frontmost.
    pid_t startSample(const std::vector<std::string>& extra = {},
                      const std::string& name = "sample", const std::string& program = {},
                      int runSeconds = 60);
    bool saidFrontmost(const std::string& name) const;
    // Ends a program this session started.
    void stop(pid_t pid);

    std::string outputOf(const std::string& name) const;
    std::string errorsOf(const std::string& name) const;

  private:
    void killEverythingUnder() const;

    test_support::TemporaryFolder folder_{"pendra-session-"};
    test_support::Environment environment_ = test_support::Environment::ofThisProcess();
    std::unique_ptr<test_support::PrivateBus> bus_;
    std::vector<pid_t> started_;
};

}  // namespace private_session
