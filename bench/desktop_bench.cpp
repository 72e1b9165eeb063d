// The desktop's answers, run inside a desktop session (scripts/desktop-session.sh -- this
// program): finding the frontmost application beside one bare X11 property read, and one
// document query of each application of the table below beside one bare accessibility call to
// the same application.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <utility>
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

// A shell command's first line of output.
std::string firstLine(const std::string& command) {
    std::string line;
    if (FILE* pipe = ::popen(("timeout 10 " + command + " 2>/dev/null").c_str(), "r")) {
        char buffer[256];
        if (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            line = buffer;
        }
        ::pclose(pipe);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

// An application measured: how to start it on a document of its own, and the class of its
// window, whose process is the one asked (a launcher may start it under another).
struct BenchApplication {
    const char* label;
    const char* windowClass;
    std::vector<std::string> (*command)();
};

std::vector<std::string> chromiumCommand() {
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
    return command;
}

std::vector<std::string> firefoxCommand() {
    std::ofstream(home() + "/bench-firefox.html")
        << "<html><head><title>Bench Firefox</title></head><body><p>Bench</p></body></html>";
    std::filesystem::create_directories(home() + "/bench-firefox");
    std::ofstream(home() + "/bench-firefox/user.js")
        << "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
           "user_pref(\"browser.aboutwelcome.enabled\", false);\n";
    return {"firefox-esr", "--no-remote", "--profile", home() + "/bench-firefox",
            "file://" + home() + "/bench-firefox.html"};
}

std::vector<std::string> geditCommand() {
    std::ofstream(home() + "/bench.txt") << "bench\n";
    return {"gedit", home() + "/bench.txt"};
}

std::vector<std::string> mousepadCommand() {
    std::ofstream(home() + "/bench-mousepad.txt") << "bench\n";
    return {"mousepad", home() + "/bench-mousepad.txt"};
}

std::vector<std::string> calcCommand() {
    // A flat spreadsheet opens without the import dialog a text table brings up.
    const std::string sheet = home() + "/bench.fods";
    std::ofstream(sheet)
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<office:document xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
           "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
           "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" office:version=\"1.2\" "
           "office:mimetype=\"application/vnd.oasis.opendocument.spreadsheet\"><office:body>"
           "<office:spreadsheet><table:table table:name=\"Costs\"><table:table-row>"
           "<table:table-cell office:value-type=\"string\"><text:p>rent</text:p>"
           "</table:table-cell></table:table-row></table:table></office:spreadsheet>"
           "</office:body></office:document>\n";
    // A profile of its own that skips the first start's greetings.
    std::filesystem::create_directories(home() + "/bench-calc/user");
    std::ofstream(home() + "/bench-calc/user/registrymodifications.xcu")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<oor:items xmlns:oor=\"http://openoffice.org/2001/registry\">"
           "<item oor:path=\"/org.openoffice.Office.Common/Misc\"><prop "
           "oor:name=\"ShowTipOfTheDay\" oor:op=\"fuse\"><value>false</value></prop></item>"
           "<item oor:path=\"/org.openoffice.Setup/Office\"><prop "
           "oor:name=\"ooSetupInstCompleted\" oor:op=\"fuse\"><value>true</value></prop></item>"
           "</oor:items>\n";
    return {"localc", "--norestore", "-env:UserInstallation=file://" + home() + "/bench-calc",
            sheet};
}

std::vector<std::string> geanyCommand() {
    std::ofstream(home() + "/bench-geany.txt") << "bench\n";
    return {"geany", "--new-instance", home() + "/bench-geany.txt"};
}

std::vector<std::string> thunarCommand() {
    std::filesystem::create_directories(home() + "/Bench Folder");
    return {"thunar", home() + "/Bench Folder"};
}

// The applications measured, one row each.
const BenchApplication kApplications[] = {
    {"Chromium", "chromium", chromiumCommand},
    {"FirefoxESR", "firefox", firefoxCommand},
    {"Gedit", "gedit", geditCommand},
    {"Mousepad", "mousepad", mousepadCommand},
    {"LibreOfficeCalc", "libreoffice-calc", calcCommand},
    {"Geany", "geany", geanyCommand},
    {"Thunar", "thunar", thunarCommand},
};

// The process of an application's window, started once for the run; -1 when it did not show a
// window within 90 seconds.
pid_t processOf(const BenchApplication& application) {
    static std::map<std::string, std::pair<Started, pid_t>> started;
    auto& [launched, pid] = started[application.label];
    if (launched.pid < 0) {
        launched.pid = launch(application.command());
        pid = -1;
        const auto deadline = std::chrono::steady_clock::now() + 90s;
        while (pid <= 0 && std::chrono::steady_clock::now() < deadline) {
            const std::string found =
                firstLine(std::string("xdotool search --onlyvisible --class ") +
                          application.windowClass + " getwindowpid");
            pid = found.empty() ? -1 : static_cast<pid_t>(std::atoi(found.c_str()));
            if (pid <= 0) {
                std::this_thread::sleep_for(500ms);
            }
        }
    }
    return pid;
}

// Waits until the application shows its document by name; false when it did not within 30 seconds.
bool ready(pid_t pid) {
    DesktopSession desktop;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (pid > 0 && std::chrono::steady_clock::now() < deadline) {
        DesktopApplicationView view;
        if (desktop.viewOfProcess(pid, 2s, &view) == DesktopQuery::answered && view.frontDocument &&
            !view.frontDocument->name.empty()) {
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
    processOf(kApplications[2]);
    LinuxWorkspace workspace{[] {}};
    for (auto _ : state) {
        benchmark::DoNotOptimize(workspace.frontmostApplication());
    }
}
BENCHMARK(BM_FrontmostApplication);

// One call to the application of the process on the accessibility bus, for measuring.
void bareAccessibilityCall(benchmark::State& state, const BenchApplication* application) {
    if (!haveDesktop(state)) {
        return;
    }
    const pid_t pid = processOf(*application);
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

// One document query of the window in front, asked again as the captures of a person's work
// ask it: what was found for the window the last time is asked again alone. With `firstLook`,
// every query searches the window afresh, as the first capture of a window does.
void documentQuery(benchmark::State& state, const BenchApplication* application, bool firstLook) {
    if (!haveDesktop(state)) {
        return;
    }
    const pid_t pid = processOf(*application);
    if (!ready(pid)) {
        state.SkipWithError("the application's document did not show");
        return;
    }
    DesktopSession desktop;
    AccessibilityBus* bus = desktop.accessibility();
    const std::uint64_t tripsBefore = bus != nullptr ? bus->roundTrips() : 0;
    for (auto _ : state) {
        DesktopApplicationView view;
        desktop.forgetRecentView();
        if (firstLook && bus != nullptr) {
            bus->forgetDocuments();
        }
        benchmark::DoNotOptimize(desktop.viewOfProcess(pid, 2s, &view));
    }
    // The round trips one query costs, one after the other.
    if (bus != nullptr && state.iterations() > 0) {
        state.counters["round_trips"] = static_cast<double>(bus->roundTrips() - tripsBefore) /
                                        static_cast<double>(state.iterations());
    }
}

// Each application's document query beside a bare call to it, in one run.
const bool registered = [] {
    for (const BenchApplication& application : kApplications) {
        benchmark::RegisterBenchmark(
            (std::string("BM_BareAccessibilityCall/") + application.label).c_str(),
            bareAccessibilityCall, &application)
            ->Unit(benchmark::kMicrosecond);
        for (const bool firstLook : {false, true}) {
            benchmark::RegisterBenchmark(
                (std::string(firstLook ? "BM_DocumentQueryFirstLook/" : "BM_DocumentQuery/") +
                 application.label)
                    .c_str(),
                documentQuery, &application, firstLook)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
