// What the tools' tests share: driving the fake timers, real temporary folders, and a file
// manager that fails or stops at a chosen step.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/fake/fake_platform.h"
#include "platform/platform.h"
#include "testing/files.h"

namespace tools_test {

// Fires every valid timer of the fake application once, in the order they were scheduled.
inline void fireTimers(platform::fake::FakeApplication& application) {
    std::vector<platform::TimerID> ids;
    for (const auto& timer : application.timers) {
        if (timer.valid) {
            ids.push_back(timer.id);
        }
    }
    for (platform::TimerID id : ids) {
        application.fireTimer(id);
    }
}

// Runs an action and answers the status of the process exit it ended in, or absent.
template <typename Action>
std::optional<int> exitStatusOf(Action&& action) {
    try {
        action();
    } catch (const platform::ProcessExit& exit) {
        return exit.status;
    }
    return std::nullopt;
}

// The last of some log lines; empty when there is none.
inline std::string lastLine(const std::vector<std::string>& lines) {
    return lines.empty() ? std::string() : lines.back();
}

// A delegate that fires the timers while the event loop runs, as the loop would once a second.
class TickingDelegate : public platform::ApplicationDelegate {
  public:
    TickingDelegate(platform::fake::FakeApplication& application, int ticks)
        : application_(application), ticks_(ticks) {}
    void applicationDidFinishLaunching() override {
        for (int tick = 0; tick < ticks_; ++tick) {
            ++ticksDone;
            fireTimers(application_);
        }
    }
    int ticksDone = 0;

  private:
    platform::fake::FakeApplication& application_;
    int ticks_;
};

// argv for a tool's entry, as the system hands it over.
class Arguments {
  public:
    explicit Arguments(std::vector<std::string> values) : values_(std::move(values)) {
        for (auto& value : values_) {
            pointers_.push_back(value.data());
        }
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(values_.size()); }
    char** argv() { return pointers_.data(); }

  private:
    std::vector<std::string> values_;
    std::vector<char*> pointers_;
};

// A real folder under the temporary folder, with a space and a non-ASCII letter in its name,
// removed with everything in it at the end.
class TemporaryFolder : public test_support::TemporaryFolder {
  public:
    TemporaryFolder() : test_support::TemporaryFolder("tools tëst ") {}
};

using test_support::itemExists;
using test_support::namesIn;
using test_support::readFile;
using test_support::treeAt;
using test_support::writeFile;

// A bundle of the helper with an executable, a resource and a nested folder; `mark` tells
// versions apart.
inline void makeBundle(const std::string& path, const std::string& mark) {
    writeFile(path + "/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>com.orvano.PendraMacSandboxHelper</string>"
              "<key>CFBundleExecutable</key><string>Helper</string>"
              "<key>CFBundleVersion</key><string>" +
                  mark + "</string></dict></plist>\n");
    writeFile(path + "/Contents/MacOS/Helper", "#!/bin/sh\n# " + mark + "\n");
    std::filesystem::permissions(path + "/Contents/MacOS/Helper",
                                 std::filesystem::perms::owner_all);
    writeFile(path + "/Contents/Resources/Deutsch.lproj/Grüße.txt", "Grüße " + mark);
}

// Stands for the process being killed between two steps.
struct Interrupted {};

// Passes every call to another file manager; can stop (throwing Interrupted) before the n-th
// call that changes something, and can make exchanges and moves fail.
class InterruptingFileManager : public platform::FileManager {
  public:
    explicit InterruptingFileManager(platform::FileManager& inner) : inner_(inner) {}

    std::optional<int> interruptBeforeChange;  // counted from 0
    std::optional<platform::Error> failPlacing;
    std::vector<std::string> changes;

    bool fileExistsAtPath(const std::string& path) override {
        return inner_.fileExistsAtPath(path);
    }
    std::optional<platform::FileAttributes> attributesOfItemAtPath(
        const std::string& path, platform::Error* error) override {
        return inner_.attributesOfItemAtPath(path, error);
    }
    bool createDirectoryAtPath(const std::string& path, bool intermediate,
                               platform::Error* error) override {
        change("mkdir " + path);
        return inner_.createDirectoryAtPath(path, intermediate, error);
    }
    bool removeItemAtPath(const std::string& path, platform::Error* error) override {
        change("remove " + path);
        return inner_.removeItemAtPath(path, error);
    }
    bool copyItemAtPath(const std::string& source, const std::string& destination,
                        platform::Error* error) override {
        change("copy " + source + " -> " + destination);
        return inner_.copyItemAtPath(source, destination, error);
    }
    bool moveItemAtPath(const std::string& source, const std::string& destination,
                        platform::Error* error) override {
        change("move " + source + " -> " + destination);
        return failPlacing ? fail(error) : inner_.moveItemAtPath(source, destination, error);
    }
    bool exchangeItemAtPath(const std::string& first, const std::string& second,
                            platform::Error* error) override {
        change("exchange " + first + " <-> " + second);
        return failPlacing ? fail(error) : inner_.exchangeItemAtPath(first, second, error);
    }

    std::optional<std::vector<std::uint8_t>> contentsAtPath(const std::string& path,
                                                            std::uint64_t maximumSize,
                                                            platform::Error* error) override {
        return inner_.contentsAtPath(path, maximumSize, error);
    }
    std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(
        const std::string& path, platform::Error* error) override {
        return inner_.contentsOfDirectoryAtPath(path, error);
    }
    bool synchronizeItemAtPath(const std::string& path, platform::Error* error) override {
        change("sync " + path);
        return inner_.synchronizeItemAtPath(path, error);
    }
    std::unique_ptr<platform::FileLock> lockItemAtPath(const std::string& path,
                                                       platform::Error* error) override {
        return inner_.lockItemAtPath(path, error);
    }
    std::string stringByResolvingSymlinksInPath(const std::string& path) override {
        return inner_.stringByResolvingSymlinksInPath(path);
    }

  private:
    void change(const std::string& what) {
        if (interruptBeforeChange && static_cast<int>(changes.size()) == *interruptBeforeChange) {
            throw Interrupted{};
        }
        changes.push_back(what);
    }
    bool fail(platform::Error* error) {
        if (error != nullptr) {
            *error = *failPlacing;
        }
        return false;
    }

    platform::FileManager& inner_;
};

}  // namespace tools_test
