// The desktop's answers, run inside a desktop session (scripts/desktop-session.sh -- this
// program): finding the frontmost application beside one bare X11 property read, and one
// document query of a browser and of an editor beside one bare accessibility call to the same
// application.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/linux_accessibility.h"
#include "platform/linux/linux_desktop.h"
#include "platform/linux/linux_workspace.h"
#include "platform/linux/linux_x11.h"
#include "testing/processes.h"

namespace {

using namespace std::chrono_literals;
using namespace platform::linux_platform;

// One application started for the run, ended by its process id.
struct Started {
    pid_t pid = -1;
    ~Started() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// Starts an application of the desktop session this program runs in, with its environment.
pid_t launch(const std::vector<std::string>& command) {
    test_support::StartOptions options;
    options.ownProcessGroup = true;
    return test_support::startProgram(
        command.front(), std::vector<std::string>(command.begin() + 1, command.end()),
        test_support::Environment::ofThisProcess().entries(), options);
}

std::string home() {
    return std::getenv("HOME") != nullptr ? std::getenv("HOME") : "/tmp";
}

Started& chromium() {
    static Started started;
    if (started.pid < 0) {
        std::ofstream(home() + "/bench.html") << "<html><head><title>Bench Page</title></head>"
                                                 "<body><p>Bench</p></body></html>";
        std::vector<std::string> command{"chromium",
                                         "--force-renderer-accessibility",
                                         "--no-first-run",
                                         "--disable-gpu",
                                         "--password-store=basic",
                                         "--user-data-dir=" + home() + "/bench-chromium",
                                         "file://" + home() + "/bench.html"};
        if (::geteuid() == 0) {
            command.push_back("--no-sandbox");
        }
        started.pid = launch(command);
    }
    return started;
}

Started& gedit() {
    static Started started;
    if (started.pid < 0) {
        std::ofstream(home() + "/bench.txt") << "bench\n";
        started.pid = launch({"gedit", home() + "/bench.txt"});
    }
    return started;
}

// Waits until the application's document shows; false when it did not within 30 seconds.
bool ready(pid_t pid) {
    DesktopSession desktop;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        DesktopApplicationView view;
        if (desktop.viewOfProcess(pid, 2s, &view) == DesktopQuery::answered && view.frontDocument &&
            !view.frontDocument->url.empty()) {
            return true;
        }
        std::this_thread::sleep_for(200ms);
    }
    return false;
}

bool haveDesktop(benchmark::State& state) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        state.SkipWithError("no desktop session: run through scripts/desktop-session.sh");
        return false;
    }
    return true;
}

void BM_BareX11PropertyRead(benchmark::State& state) {
    if (!haveDesktop(state)) {
        return;
    }
    auto display = X11Desktop::connect(1s);
    if (!display) {
        state.SkipWithError("no X11 display");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(display->activeWindowId(1s));
    }
}
BENCHMARK(BM_BareX11PropertyRead);

void BM_FrontmostApplication(benchmark::State& state) {
    if (!haveDesktop(state)) {
        return;
    }
    gedit();
    LinuxWorkspace workspace{[] {}};
    for (auto _ : state) {
        benchmark::DoNotOptimize(workspace.frontmostApplication());
    }
}
BENCHMARK(BM_FrontmostApplication);

// The application of the process on the accessibility bus, for a bare call to it.
void bareAccessibilityCall(benchmark::State& state, pid_t pid) {
    auto bus = AccessibilityBus::connect(1s);
    if (!bus || !ready(pid)) {
        state.SkipWithError("the application is not on the accessibility bus");
        return;
    }
    bus->setDeadline(std::chrono::steady_clock::time_point::max());
    const auto applications = bus->applicationsOfProcess(pid);
    if (applications.empty()) {
        state.SkipWithError("the application is not on the accessibility bus");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(bus->name(applications.front()));
    }
}

void documentQuery(benchmark::State& state, pid_t pid) {
    if (!ready(pid)) {
        state.SkipWithError("the application's document did not show");
        return;
    }
    DesktopSession desktop;
    for (auto _ : state) {
        DesktopApplicationView view;
        desktop.forgetRecentView();
        benchmark::DoNotOptimize(desktop.viewOfProcess(pid, 2s, &view));
    }
}

void BM_BareAccessibilityCall_Chromium(benchmark::State& state) {
    if (haveDesktop(state)) {
        bareAccessibilityCall(state, chromium().pid);
    }
}
BENCHMARK(BM_BareAccessibilityCall_Chromium)->Unit(benchmark::kMicrosecond);

void BM_DocumentQuery_Chromium(benchmark::State& state) {
    if (haveDesktop(state)) {
        documentQuery(state, chromium().pid);
    }
}
BENCHMARK(BM_DocumentQuery_Chromium)->Unit(benchmark::kMicrosecond);

void BM_BareAccessibilityCall_Gedit(benchmark::State& state) {
    if (haveDesktop(state)) {
        bareAccessibilityCall(state, gedit().pid);
    }
}
BENCHMARK(BM_BareAccessibilityCall_Gedit)->Unit(benchmark::kMicrosecond);

void BM_DocumentQuery_Gedit(benchmark::State& state) {
    if (haveDesktop(state)) {
        documentQuery(state, gedit().pid);
    }
}
BENCHMARK(BM_DocumentQuery_Gedit)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
