// What requests over the session bus cost, each beside its baseline in the same run, in one
// private session: the helper as built (installed in its designated folder of a temporary home),
// the sample document application frontmost, and this program as the main application.
//   BM_GetVersion/helper      getVersion round trip to the helper
//   BM_GetVersion/trivial     the same bytes to a trivial sd-bus service with the same method
//                             signature, which answers a prepared reply
//   BM_Capture/0, /1048576    invoke with a caller's note of that many bytes, until the answer
//                             ('PNDR'/'sqep') has arrived; both include the helper's 0.1 s delay
//                             before the capture, so the difference is what the note costs
//   BM_CaptureCpu/0, /1000    captures with no note, with that many extra idle processes on
//                             the machine: the helper's CPU per capture beside the CPU the
//                             frontmost application spends answering the same capture
// Each also counts the helper's own CPU time per request (the scheduler's count in /proc).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/apple_event_descriptor.h"
#include "platform/apple_event_handler_table.h"
#include "platform/linux/linux_application.h"
#include "platform/linux/linux_bus.h"
#include "testing/private_session.h"
#include "testing/processes.h"

namespace {

using platform::AppleEventDescriptor;
using platform::fourCharCode;
using platform::linux_platform::LinuxAppleEventManager;
using platform::linux_platform::LinuxApplication;
using platform::linux_platform::SessionBus;

constexpr const char* kHelper = private_session::kHelperIdentifier;
constexpr const char* kTrivial = "com.orvano.BenchTrivialService";
constexpr const char* kMainApplication = private_session::kMainApplicationIdentifier;

AppleEventDescriptor helperEvent(const char* target, const char (&eventID)[5]) {
    return AppleEventDescriptor::appleEventWithEventClass(
        fourCharCode("pdqe"), fourCharCode(eventID),
        AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(target),
        platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
}

// A service that answers HandleEvent with prepared bytes and does nothing else: what any
// sd-bus round trip of this signature costs.
[[noreturn]] void runTrivialService(const std::vector<std::uint8_t>& answer) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0 || sd_bus_request_name(bus, kTrivial, 0) < 0) {
        ::_exit(1);
    }
    static const std::vector<std::uint8_t>* reply = &answer;
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD(
            "HandleEvent", "ay", "ay",
            [](sd_bus_message* message, void*, sd_bus_error*) {
                sd_bus_message* out = nullptr;
                int r = sd_bus_message_new_method_return(message, &out);
                if (r >= 0) {
                    r = sd_bus_message_append_array(out, 'y', reply->data(), reply->size());
                }
                if (r >= 0) {
                    r = sd_bus_send(nullptr, out, nullptr);
                }
                sd_bus_message_unref(out);
                return r < 0 ? r : 1;
            },
            SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};
    sd_bus_add_object_vtable(bus, nullptr, platform::linux_platform::kApplicationObjectPath,
                             platform::linux_platform::kApplicationInterface, vtable, nullptr);
    for (;;) {
        if (sd_bus_process(bus, nullptr) == 0) {
            sd_bus_wait(bus, UINT64_MAX);
        }
    }
}

// The session: started at first use, ended when the program ends.
class Session {
  public:
    static Session& shared() {
        static Session session;
        return session;
    }

    bool ready() const { return ready_; }
    // CPU seconds the helper has used so far, all its threads.
    double helperCpuSeconds() const { return cpuSeconds(helperPid_); }
    // The same for the frontmost application, and for the bus daemon, which relays every
    // message of a capture.
    double frontCpuSeconds() const { return cpuSeconds(samplePid_); }
    double busCpuSeconds() const { return cpuSeconds(session_->busDaemon()); }
    // The scheduler's own count of the time each thread ran, in nanoseconds: utime and stime are
    // sampled at the tick, which charges a whole tick to whoever runs when it falls, and a
    // process woken by a timer tends to run just then.
    static double cpuSeconds(pid_t pid) {
        double nanoseconds = 0;
        std::error_code error;
        for (const auto& task :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
            std::ifstream schedstat(task.path() / "schedstat");
            double ran = 0;
            if (schedstat >> ran) {
                nanoseconds += ran;
            }
        }
        return nanoseconds / 1e9;
    }
    LinuxApplication& application() { return application_; }
    LinuxAppleEventManager& events() { return *events_; }
    int answers = 0;

  private:
    Session() {
        if (std::string missing; !private_session::canStart(&missing)) {
            std::cerr << "No session: " << missing << "\n";
            return;
        }
        session_ = std::make_unique<private_session::PrivateSession>();
        if (!session_->startBus()) {
            return;
        }
        // This program plays the main application on the session's bus, which the platform
        // layer opens from the environment, as would the trivial service forked from it.
        busEnvironment_.set("DBUS_SESSION_BUS_ADDRESS", session_->busAddress());
        const std::string helper = session_->installHelper(private_session::kSampleConnector);

        AppleEventDescriptor answer =
            platform::AppleEventHandlerTable::emptyReply(helperEvent(kTrivial, "pdvn"));
        answer.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(1),
                                  fourCharCode("pdmj"));
        answer.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(0),
                                  fourCharCode("pdmi"));
        const auto answerBytes = answer.flatten();
        const pid_t trivial = ::fork();
        if (trivial == 0) {
            runTrivialService(answerBytes);
        }
        trivial_ = trivial;
        samplePid_ = session_->startSample({}, "sample", {}, 3600);
        helperPid_ = session_->start(helper, {}, "helper");

        bus_ = std::make_unique<SessionBus>(application_, std::string(kMainApplication));
        events_ =
            std::make_unique<LinuxAppleEventManager>(*bus_, [](pid_t) { return std::nullopt; });
        events_->setEventHandler(
            fourCharCode("PNDR"), fourCharCode("sqep"),
            [this](const AppleEventDescriptor&, AppleEventDescriptor&) { ++answers; });
        // Ready once both answer getVersion.
        ready_ = test_support::eventually(
            [this] {
                AppleEventDescriptor reply;
                return events_->AESendMessage(helperEvent(kHelper, "pdvn"), &reply,
                                              platform::kAEWaitReply, 60) == platform::noErr &&
                       events_->AESendMessage(helperEvent(kTrivial, "pdvn"), &reply,
                                              platform::kAEWaitReply, 60) == platform::noErr;
            },
            std::chrono::seconds(30));
        if (!ready_) {
            std::cerr << "The session did not come up; its logs are in " << session_->root()
                      << "/logs\n";
            session_->keepFolder();
        }
    }

    ~Session() {
        events_.reset();
        bus_.reset();
        // The trivial service is a fork of this program, not a process of the session.
        if (trivial_ > 0) {
            test_support::killAndReap(trivial_);
        }
    }

    std::unique_ptr<private_session::PrivateSession> session_;
    test_support::ScopedEnvironment busEnvironment_;
    pid_t trivial_ = -1;
    pid_t helperPid_ = -1;
    pid_t samplePid_ = -1;
    LinuxApplication application_{[](int status) { std::exit(status); }};
    std::unique_ptr<SessionBus> bus_;
    std::unique_ptr<LinuxAppleEventManager> events_;
    bool ready_ = false;
};

void BM_GetVersion(benchmark::State& state, const char* target) {
    Session& session = Session::shared();
    if (!session.ready()) {
        state.SkipWithError("no session");
        return;
    }
    const AppleEventDescriptor event = helperEvent(target, "pdvn");
    const double cpuBefore = session.helperCpuSeconds();
    for (auto _ : state) {
        AppleEventDescriptor reply;
        if (session.events().AESendMessage(event, &reply, platform::kAEWaitReply, 60 * 5) !=
            platform::noErr) {
            state.SkipWithError("getVersion failed");
            break;
        }
    }
    if (std::string(target) == kHelper) {
        state.counters["helper_cpu_us"] =
            benchmark::Counter((session.helperCpuSeconds() - cpuBefore) * 1e6 /
                               static_cast<double>(state.iterations()));
    }
}
BENCHMARK_CAPTURE(BM_GetVersion, helper, kHelper)->UseRealTime();
BENCHMARK_CAPTURE(BM_GetVersion, trivial, kTrivial)->UseRealTime();

// One capture per iteration: the invoke event, then the answer reaching the main application.
void runCaptures(benchmark::State& state, Session& session, const AppleEventDescriptor& invoke) {
    for (auto _ : state) {
        const int before = session.answers;
        AppleEventDescriptor reply;
        if (session.events().AESendMessage(invoke, &reply, platform::kAEWaitReply, 60 * 5) !=
                platform::noErr ||
            !session.application().runUntil([&] { return session.answers > before; }, 10)) {
            state.SkipWithError("no answer to the capture");
            break;
        }
    }
}

void BM_Capture(benchmark::State& state) {
    Session& session = Session::shared();
    if (!session.ready()) {
        state.SkipWithError("no session");
        return;
    }
    AppleEventDescriptor invoke = helperEvent(kHelper, "pdiv");
    invoke.setParamDescriptor(AppleEventDescriptor::descriptorWithString(kMainApplication),
                              fourCharCode("pdrr"));
    if (state.range(0) > 0) {
        AppleEventDescriptor properties = AppleEventDescriptor::recordDescriptor();
        properties.setDescriptor(AppleEventDescriptor::descriptorWithString(
                                     std::string(static_cast<std::size_t>(state.range(0)), 'n')),
                                 fourCharCode("note"));
        invoke.setParamDescriptor(properties, fourCharCode("pdap"));
    }
    const double cpuBefore = session.helperCpuSeconds();
    const double busBefore = session.busCpuSeconds();
    runCaptures(state, session, invoke);
    const double captures = static_cast<double>(state.iterations());
    state.counters["helper_cpu_ms"] = (session.helperCpuSeconds() - cpuBefore) * 1e3 / captures;
    state.counters["bus_cpu_ms"] = (session.busCpuSeconds() - busBefore) * 1e3 / captures;
}
BENCHMARK(BM_Capture)
    ->Arg(0)
    ->Arg(1 << 20)
    ->UseRealTime()
    ->MinTime(3)
    ->Unit(benchmark::kMillisecond);

// Idle processes that stand for a busy machine: children that sleep until they are killed.
class IdleProcesses {
  public:
    explicit IdleProcesses(std::int64_t count) {
        for (std::int64_t index = 0; index < count; ++index) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                for (;;) {
                    ::pause();
                }
            }
            if (pid > 0) {
                pids_.push_back(pid);
            }
        }
    }
    ~IdleProcesses() {
        for (pid_t pid : pids_) {
            ::kill(pid, SIGKILL);
        }
        for (pid_t pid : pids_) {
            ::waitpid(pid, nullptr, 0);
        }
    }
    std::size_t size() const { return pids_.size(); }

  private:
    std::vector<pid_t> pids_;
};

void BM_CaptureCpu(benchmark::State& state) {
    Session& session = Session::shared();
    if (!session.ready()) {
        state.SkipWithError("no session");
        return;
    }
    const IdleProcesses idle(state.range(0));
    if (idle.size() != static_cast<std::size_t>(state.range(0))) {
        state.SkipWithError("could not start the idle processes");
        return;
    }
    AppleEventDescriptor invoke = helperEvent(kHelper, "pdiv");
    invoke.setParamDescriptor(AppleEventDescriptor::descriptorWithString(kMainApplication),
                              fourCharCode("pdrr"));
    const double helperBefore = session.helperCpuSeconds();
    const double frontBefore = session.frontCpuSeconds();
    runCaptures(state, session, invoke);
    const double captures = static_cast<double>(state.iterations());
    const double helper = (session.helperCpuSeconds() - helperBefore) * 1e3 / captures;
    const double front = (session.frontCpuSeconds() - frontBefore) * 1e3 / captures;
    state.counters["helper_cpu_ms"] = helper;
    state.counters["front_cpu_ms"] = front;
    state.counters["helper_per_front"] = front > 0 ? helper / front : 0;
}
BENCHMARK(BM_CaptureCpu)
    ->ArgName("extra_processes")
    ->Arg(0)
    ->Arg(1000)
    ->UseRealTime()
    ->MinTime(20)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
