// A whole session for the helper and its counterparts, for the process tests and the benchmarks
// alike: a private session bus started with dbus-run-session, a home with its own XDG folders,
// temporary folder and Applications folder, the stand-in main applications and the sample
// document application installed there, and the processes started in it, all ended with it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "linux/test_support.h"

namespace private_session {

inline const std::string kHelperBundle =
    std::string(PENDRA_BUNDLE_DIR) + "/PendraMacSandboxHelper.app";
inline const std::string kDevtoolsBundles = PENDRA_DEVTOOLS_BUNDLE_DIR;
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

// True when the bundles a session runs have been built and dbus-run-session is there; otherwise
// `why` says what is missing.
bool canStart(std::string* why);

class PrivateSession {
  public:
    // Makes the folders and points this process's environment at them (restored at the end).
    PrivateSession();
    // Ends what was started, then whatever runs from the session's folder (what the helper
    // launched), then the bus; removes the folder unless it is kept.
    ~PrivateSession();
    PrivateSession(const PrivateSession&) = delete;
    PrivateSession& operator=(const PrivateSession&) = delete;

    // Starts the private bus and sets DBUS_SESSION_BUS_ADDRESS; false when it did not come up.
    bool startBus();
    // The bus daemon's process, for what it spends; -1 before the bus is up.
    pid_t busDaemon() const;
    // Leaves the folder, and the logs in it, in place at the end.
    void keepFolder() { keep_ = true; }

    const std::string& root() const { return root_; }
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }
    std::string mainApplication(bool development = false) const;
    std::string sampleApplication() const;
    std::string installedHelper() const;

    // The helper copied into its designated folder, with the connector entries given (the
    // inner text of the table's dictionary) added to its table; answers its executable.
    std::string installHelper(const std::string& extraConnectors = {});
    // Adds connector entries to a helper bundle's table; false when the table has no dictionary.
    static bool addConnectors(const std::string& helperBundle, const std::string& entries);

    // Starts a program in its own process group with its output in logs/<name>.out and .err;
    // answers its pid.
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

    std::string root_;
    linux_test::ScopedEnvironment environment_;
    std::vector<pid_t> started_;
    pid_t busSession_ = -1;
    int busKeeperInput_ = -1;
    bool keep_ = false;
};

}  // namespace private_session
