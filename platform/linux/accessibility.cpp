#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "linux_accessibility.h"
#include "linux_support.h"

namespace platform::linux_platform {
namespace {

constexpr const char* kAccessibleInterface = "org.a11y.atspi.Accessible";
constexpr const char* kRegistryName = "org.a11y.atspi.Registry";
constexpr const char* kRootPath = "/org/a11y/atspi/accessible/root";
constexpr const char* kNullPath = "/org/a11y/atspi/null";
constexpr const char* kRegistryPath = "/org/a11y/atspi/registry";
constexpr const char* kRegistryInterface = "org.a11y.atspi.Registry";
constexpr const char* kWindowActivation = "window:activate";

constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";

std::uint64_t usec(std::chrono::milliseconds limit) {
    return static_cast<std::uint64_t>(std::max<std::int64_t>(limit.count(), 1)) * 1000U;
}

// The objects of a reply ('a(so)'), without the null object that stands for none.
std::optional<std::vector<AccessibleReference>> readReferences(const BusReply& reply) {
    std::vector<AccessibleReference> references;
    if (!(reply.read() >> references)) {
        return std::nullopt;
    }
    std::erase_if(references,
                  [](const AccessibleReference& object) { return object.path == kNullPath; });
    return references;
}

constexpr std::uint32_t kDocumentRoles[] = {
    accessibility::kRoleDocumentWeb, accessibility::kRoleDocumentFrame,
    accessibility::kRoleDocumentText, accessibility::kRoleDocumentSpreadsheet,
    accessibility::kRoleDocumentPresentation};

bool isDocumentRole(std::uint32_t role) {
    return std::find(std::begin(kDocumentRoles), std::end(kDocumentRoles), role) !=
           std::end(kDocumentRoles);
}

bool isTopLevelRole(std::uint32_t role) {
    return role == accessibility::kRoleFrame || role == accessibility::kRoleDialog ||
           role == accessibility::kRoleWindow || role == accessibility::kRoleAlert;
}

}  // namespace

std::optional<std::string> documentAddressOf(const std::map<std::string, std::string>& attributes) {
    // Documents of web engines give their address under one of these names.
    for (const char* key : {"URI", "DocURL", "url"}) {
        if (auto found = attributes.find(key);
            found != attributes.end() && !found->second.empty()) {
            return found->second;
        }
    }
    return std::nullopt;
}

AccessibilityBus::AccessibilityBus(BusConnection bus, std::string address)
    : address_(std::move(address)), bus_(std::move(bus)) {
    sd_bus_add_filter(
        bus_.get(), nullptr,
        [](sd_bus_message* message, void* self, sd_bus_error*) {
            static_cast<AccessibilityBus*>(self)->noteLateAnswer(message);
            return 0;
        },
        this);
}

AccessibilityBus::~AccessibilityBus() = default;

namespace {

// A client connection to the bus at `address`; none when there is no address or no bus there.
BusConnection openBus(const char* address) {
    BusConnection bus;
    if (address == nullptr || address[0] == '\0' || sd_bus_new(bus.out()) < 0) {
        return {};
    }
    if (sd_bus_set_address(bus.get(), address) < 0 || sd_bus_set_bus_client(bus.get(), 1) < 0 ||
        sd_bus_start(bus.get()) < 0) {
        return {};
    }
    return bus;
}

// The session bus of the process environment, for one question.
BusConnection openSessionBus() {
    return openBus(std::getenv("DBUS_SESSION_BUS_ADDRESS"));
}

}  // namespace

std::unique_ptr<AccessibilityBus> AccessibilityBus::connect(std::chrono::milliseconds timeout,
                                                            bool listenForActivation) {
    std::string address;
    {
        const BusConnection session = openSessionBus();
        if (!session) {
            return nullptr;
        }
        callMethod(BusWriter::methodCall(session.get(), "org.a11y.Bus", "/org/a11y/bus",
                                         "org.a11y.Bus", "GetAddress"),
                   usec(timeout))
                .read() >>
            address;
    }
    if (address.empty()) {
        return nullptr;
    }
    BusConnection bus = openBus(address.c_str());
    if (!bus) {
        return nullptr;
    }
    // Chromium marks the frame of its active window only once a client of the bus listens for
    // window activation, as a screen reader does; until then none of its frames is active and
    // it is never found in front without an X11 window manager. Listening costs this
    // connection nothing: the event is not subscribed to, so no signal reaches it, and the
    // registry forgets the listener when it closes. Asked now, so that it holds before the
    // first question.
    if (listenForActivation) {
        callMethod(BusWriter::methodCall(bus.get(), kRegistryName, kRegistryPath,
                                         kRegistryInterface, "RegisterEvent")
                       << kWindowActivation << std::vector<std::string>{} << "",
                   usec(timeout));
    }
    return std::unique_ptr<AccessibilityBus>(new AccessibilityBus(std::move(bus), address));
}

std::optional<bool> AccessibilityBus::isEnabled(std::chrono::milliseconds timeout) {
    const BusConnection session = openSessionBus();
    if (!session) {
        return std::nullopt;
    }
    bool enabled = false;
    if (!(callMethod(BusWriter::methodCall(session.get(), "org.a11y.Bus", "/org/a11y/bus",
                                           kPropertiesInterface, "Get")
                         << "org.a11y.Status"
                         << "IsEnabled",
                     usec(timeout))
              .read() >>
          inVariant(enabled))) {
        return std::nullopt;
    }
    return enabled;
}

bool AccessibilityBus::isOpen() const {
    return sd_bus_is_open(bus_.get()) > 0;
}

void AccessibilityBus::setDeadline(Clock::time_point deadline) {
    dropUnreadMessages();
    calls_.setDeadline(deadline);
}

void AccessibilityBus::dropUnreadMessages() {
    // Nothing but the filter of late answers is registered on this connection, so processing a
    // message discards it once the filter has seen it: an answer whose call gave up has no one
    // waiting for it, and signals are not subscribed to. Without this they would pile up in the
    // connection's queue for as long as the helper runs.
    for (int message = 0; message < 1024 && sd_bus_process(bus_.get(), nullptr) > 0; ++message) {
    }
}

void AccessibilityBus::noteLateAnswer(sd_bus_message* message) {
    if (const auto asked = calls_.takeLateCall(message)) {
        if (const auto known = processes_.find(*asked); known != processes_.end()) {
            answeredLate_.insert(known->second);
        }
    }
}

std::set<pid_t> AccessibilityBus::takeProcessesThatAnsweredLate() {
    dropUnreadMessages();
    return std::exchange(answeredLate_, {});
}

bool AccessibilityBus::awaitsLateAnswerFrom(pid_t pid) const {
    return std::any_of(processes_.begin(), processes_.end(), [&](const auto& each) {
        return each.second == pid && calls_.awaitsLateAnswerFrom(each.first);
    });
}

std::vector<AccessibleReference> AccessibilityBus::applications() {
    return readReferences(calls_.call(BusWriter::methodCall(bus_.get(), kRegistryName, kRootPath,
                                                            kAccessibleInterface, "GetChildren")))
        .value_or(std::vector<AccessibleReference>{});
}

std::optional<pid_t> AccessibilityBus::processOfConnection(const std::string& busName) {
    if (auto known = processes_.find(busName); known != processes_.end()) {
        return known->second;
    }
    std::uint32_t pid = 0;
    if (!(calls_
              .call(BusWriter::methodCall(bus_.get(), "org.freedesktop.DBus",
                                          "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                          "GetConnectionUnixProcessID")
                    << busName)
              .read() >>
          pid)) {
        return std::nullopt;
    }
    if (busName.starts_with(':')) {
        processes_[busName] = static_cast<pid_t>(pid);
    }
    return static_cast<pid_t>(pid);
}

std::vector<AccessibleReference> AccessibilityBus::applicationsOfProcess(pid_t pid) {
    std::vector<AccessibleReference> found;
    for (auto& application : applications()) {
        if (processOfConnection(application.bus) == pid) {
            found.push_back(std::move(application));
        }
    }
    return found;
}

std::optional<std::string> AccessibilityBus::name(const AccessibleReference& object) {
    std::string text;
    if (!(calls_
              .call(BusWriter::methodCall(bus_.get(), object.bus.c_str(), object.path.c_str(),
                                          kPropertiesInterface, "Get")
                    << kAccessibleInterface << "Name")
              .read() >>
          inVariant(text))) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::uint32_t> AccessibilityBus::role(const AccessibleReference& object) {
    return ask<std::uint32_t>(object, kAccessibleInterface, "GetRole");
}

std::optional<std::uint64_t> AccessibilityBus::states(const AccessibleReference& object) {
    const auto words = ask<std::vector<std::uint32_t>>(object, kAccessibleInterface, "GetState");
    if (!words) {
        return std::nullopt;
    }
    // Two 32-bit words, the lower first.
    std::uint64_t bits = 0;
    for (std::size_t index = 0; index < 2 && index < words->size(); ++index) {
        bits |= static_cast<std::uint64_t>((*words)[index]) << (32 * index);
    }
    return bits;
}

std::optional<std::vector<AccessibleReference>> AccessibilityBus::children(
    const AccessibleReference& object) {
    return readReferences(calls_.call(BusWriter::methodCall(
        bus_.get(), object.bus.c_str(), object.path.c_str(), kAccessibleInterface, "GetChildren")));
}

std::optional<std::map<std::string, std::string>> AccessibilityBus::attributes(
    const AccessibleReference& object) {
    return ask<std::map<std::string, std::string>>(object, kAccessibleInterface, "GetAttributes");
}

std::optional<std::map<std::string, std::string>> AccessibilityBus::documentAttributes(
    const AccessibleReference& object) {
    return ask<std::map<std::string, std::string>>(object, "org.a11y.atspi.Document",
                                                   "GetAttributes");
}

std::optional<std::vector<AccessibleReference>> AccessibilityBus::showingDocuments(
    const AccessibleReference& root) {
    return firstShowingWithRole(root, kDocumentRoles);
}

std::optional<std::vector<AccessibleReference>> AccessibilityBus::firstShowingWithRole(
    const AccessibleReference& root, std::span<const std::uint32_t> wanted) {
    // The rule: every state of the set (showing), any role of the set, no attributes or
    // interfaces asked for, not inverted. Both sets are bit sets in 32-bit words. One match,
    // the first in the tree's order: the search then stops there and never walks into what
    // follows (all the cells of a spreadsheet, for one), which can keep an application busy
    // for minutes.
    constexpr std::int32_t kMatchAll = 1;
    constexpr std::int32_t kMatchAny = 2;
    constexpr std::uint32_t kSortCanonical = 1;
    constexpr std::int32_t kOneMatch = 1;
    std::int32_t states[2] = {0, 0};
    states[accessibility::kStateShowing / 32] |= std::int32_t(1)
                                                 << (accessibility::kStateShowing % 32);
    std::int32_t roles[4] = {0, 0, 0, 0};
    for (std::uint32_t role : wanted) {
        if (role < 128) {
            roles[role / 32] |= static_cast<std::int32_t>(1U << (role % 32));
        }
    }
    BusWriter call = BusWriter::methodCall(bus_.get(), root.bus.c_str(), root.path.c_str(),
                                           "org.a11y.atspi.Collection", "GetMatches");
    call.open('r', "aiia{ss}iaiiasib")
        << std::span<const std::int32_t>(states) << kMatchAll
        << std::map<std::string, std::string>{} << kMatchAll << std::span<const std::int32_t>(roles)
        << kMatchAny << std::vector<std::string>{} << kMatchAll << false;
    call.close() << kSortCanonical << kOneMatch << true;
    return readReferences(calls_.call(call));
}

std::vector<AccessibleFrame> AccessibilityBus::frames(const AccessibleReference& application) {
    std::vector<AccessibleFrame> frames;
    const auto tops = children(application);
    if (!tops) {
        return frames;
    }
    // An object keeps its role for as long as it lives: each top-level object's is asked once.
    if (topLevelRoles_.size() >= 1024) {
        topLevelRoles_.clear();
    }
    for (const auto& top : *tops) {
        const std::string key = top.bus + top.path;
        auto known = topLevelRoles_.find(key);
        if (known == topLevelRoles_.end()) {
            const auto asked = this->role(top);
            if (!asked) {
                continue;
            }
            known = topLevelRoles_.emplace(key, *asked).first;
        }
        const std::optional<std::uint32_t> role = known->second;
        if (!isTopLevelRole(*role)) {
            continue;
        }
        const auto bits = states(top);
        if (!bits || hasState(*bits, accessibility::kStateDefunct)) {
            continue;
        }
        AccessibleFrame frame{top, name(top).value_or(""), *role,
                              hasState(*bits, accessibility::kStateActive)};
        frames.push_back(std::move(frame));
    }
    std::stable_partition(frames.begin(), frames.end(),
                          [](const AccessibleFrame& frame) { return frame.active; });
    return frames;
}

std::optional<AccessibleDocument> AccessibilityBus::showingDocument(
    const AccessibleReference& frame, int budget, const std::function<bool()>& insteadOfWalking) {
    auto describe = [this](const AccessibleReference& object) {
        AccessibleDocument document;
        document.name = name(object).value_or("");
        if (document.name.empty()) {
            // Some engines work a document's name out only when first asked for it.
            document.name = name(object).value_or("");
        }
        if (const auto values = documentAttributes(object)) {
            document.url = documentAddressOf(*values).value_or("");
        }
        if (document.url.empty()) {
            if (const auto values = attributes(object)) {
                document.url = documentAddressOf(*values).value_or("");
            }
        }
        return document;
    };
    // One search call where the application offers it; it answers the documents in the
    // tree's order, the outermost first.
    if (auto found = showingDocuments(frame)) {
        if (found->empty()) {
            return std::nullopt;
        }
        return describe(found->front());
    }
    if (calls_.timedOut() || (insteadOfWalking && insteadOfWalking())) {
        return std::nullopt;
    }
    return findDepthFirst<AccessibleDocument>(
        frame, budget,
        [&](const AccessibleReference& object, bool& descend) -> std::optional<AccessibleDocument> {
            const auto bits = states(object);
            if (!bits || !hasState(*bits, accessibility::kStateShowing)) {
                descend = false;
                return std::nullopt;
            }
            const auto role = this->role(object);
            if (role && isDocumentRole(*role)) {
                return describe(object);
            }
            return std::nullopt;
        });
}

std::optional<std::string> AccessibilityBus::menuItemNamed(
    const AccessibleReference& frame, const std::function<bool(const std::string&)>& wanted,
    int budget) {
    // The menu bar is a child of the frame or a few levels below it: breadth first.
    std::optional<AccessibleReference> menuBar;
    std::vector<AccessibleReference> level{frame};
    for (int depth = 0; depth < 3 && !menuBar && !level.empty(); ++depth) {
        std::vector<AccessibleReference> next;
        for (const auto& object : level) {
            const auto below = children(object);
            if (!below) {
                continue;
            }
            for (const auto& child : *below) {
                if (budget-- <= 0 || calls_.timedOut()) {
                    return std::nullopt;
                }
                if (role(child) == accessibility::kRoleMenuBar) {
                    menuBar = child;
                    break;
                }
                next.push_back(child);
            }
            if (menuBar) {
                break;
            }
        }
        level = std::move(next);
    }
    if (!menuBar) {
        return std::nullopt;
    }
    // Through the menus alone.
    return findDepthFirst<std::string>(
        *menuBar, budget,
        [&](const AccessibleReference& object, bool& descend) -> std::optional<std::string> {
            const auto itsRole = role(object);
            if (itsRole != accessibility::kRoleMenu && itsRole != accessibility::kRoleMenuItem &&
                itsRole != accessibility::kRolePopupMenu) {
                descend = false;
                return std::nullopt;
            }
            if (itsRole != accessibility::kRolePopupMenu) {
                if (auto itsName = name(object); itsName && wanted(*itsName)) {
                    return itsName;
                }
            }
            return std::nullopt;
        });
}

}  // namespace platform::linux_platform
