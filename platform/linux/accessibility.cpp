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

// A message and an error that free themselves.
struct Reply {
    sd_bus_message* message = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::uint64_t cookie = 0;  // of the call, to know its answer should it come late
    ~Reply() {
        sd_bus_message_unref(message);
        sd_bus_error_free(&error);
    }
};

std::uint64_t usec(std::chrono::milliseconds limit) {
    return static_cast<std::uint64_t>(std::max<std::int64_t>(limit.count(), 1)) * 1000U;
}

// One bounded call to a method without arguments, or with one string and one string argument
// (a property read). The message never starts a service that is not running.
int callMethod(sd_bus* bus, const char* destination, const char* path, const char* interface,
               const char* member, std::uint64_t timeout, Reply& reply,
               const char* firstArgument = nullptr, const char* secondArgument = nullptr) {
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(bus, &call, destination, path, interface, member);
    if (r < 0) {
        return r;
    }
    sd_bus_message_set_auto_start(call, 0);
    if (firstArgument != nullptr && secondArgument != nullptr) {
        r = sd_bus_message_append(call, "ss", firstArgument, secondArgument);
    }
    if (r >= 0) {
        r = sd_bus_call(bus, call, timeout, &reply.error, &reply.message);
        sd_bus_message_get_cookie(call, &reply.cookie);
    }
    sd_bus_message_unref(call);
    return r;
}

std::optional<std::vector<AccessibleReference>> readReferences(sd_bus_message* message) {
    if (sd_bus_message_enter_container(message, 'a', "(so)") < 0) {
        return std::nullopt;
    }
    std::vector<AccessibleReference> references;
    const char* bus = nullptr;
    const char* path = nullptr;
    int r = 0;
    while ((r = sd_bus_message_read(message, "(so)", &bus, &path)) > 0) {
        if (std::string_view(path) != kNullPath) {
            references.push_back({bus, path});
        }
    }
    if (r < 0) {
        return std::nullopt;
    }
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

AccessibilityBus::AccessibilityBus(sd_bus* bus, std::string address)
    : bus_(bus), address_(std::move(address)) {
    sd_bus_add_filter(
        bus_, nullptr,
        [](sd_bus_message* message, void* self, sd_bus_error*) {
            static_cast<AccessibilityBus*>(self)->noteLateAnswer(message);
            return 0;
        },
        this);
}

AccessibilityBus::~AccessibilityBus() {
    sd_bus_flush_close_unref(bus_);
}

namespace {

// The session bus of the process environment, for one question.
sd_bus* openSessionBus() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || address[0] == '\0') {
        return nullptr;
    }
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) {
        return nullptr;
    }
    if (sd_bus_set_address(bus, address) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

}  // namespace

std::unique_ptr<AccessibilityBus> AccessibilityBus::connect(std::chrono::milliseconds timeout) {
    sd_bus* session = openSessionBus();
    if (session == nullptr) {
        return nullptr;
    }
    std::string address;
    {
        Reply reply;
        const char* text = nullptr;
        if (callMethod(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                       usec(timeout), reply) >= 0 &&
            sd_bus_message_read(reply.message, "s", &text) > 0 && text != nullptr) {
            address = text;
        }
    }
    sd_bus_flush_close_unref(session);
    if (address.empty()) {
        return nullptr;
    }
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) {
        return nullptr;
    }
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return std::unique_ptr<AccessibilityBus>(new AccessibilityBus(bus, address));
}

std::optional<bool> AccessibilityBus::isEnabled(std::chrono::milliseconds timeout) {
    sd_bus* session = openSessionBus();
    if (session == nullptr) {
        return std::nullopt;
    }
    std::optional<bool> enabled;
    {
        Reply reply;
        int value = 0;
        if (callMethod(session, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties",
                       "Get", usec(timeout), reply, "org.a11y.Status", "IsEnabled") >= 0 &&
            sd_bus_message_read(reply.message, "v", "b", &value) > 0) {
            enabled = value != 0;
        }
    }
    sd_bus_flush_close_unref(session);
    return enabled;
}

bool AccessibilityBus::isOpen() const {
    return sd_bus_is_open(bus_) > 0;
}

void AccessibilityBus::setDeadline(Clock::time_point deadline) {
    dropUnreadMessages();
    deadline_ = deadline;
    timedOut_ = false;
}

void AccessibilityBus::dropUnreadMessages() {
    // Nothing but the filter of late answers is registered on this connection, so processing a
    // message discards it once the filter has seen it: an answer whose call gave up has no one
    // waiting for it, and signals are not subscribed to. Without this they would pile up in the
    // connection's queue for as long as the helper runs.
    for (int message = 0; message < 1024 && sd_bus_process(bus_, nullptr) > 0; ++message) {
    }
}

std::uint64_t AccessibilityBus::callTimeoutUsec() {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    return usec(std::min(left, callLimit_));
}

bool AccessibilityBus::expired() {
    if (Clock::now() < deadline_) {
        return false;
    }
    timedOut_ = true;
    return true;
}

void AccessibilityBus::noteOutcome(int result, std::uint64_t cookie,
                                   const std::string& destination) {
    if (result != -ETIMEDOUT) {
        return;
    }
    timedOut_ = true;
    if (cookie != 0 && !destination.empty()) {
        lateCalls_[cookie] = destination;
        // Cookies grow; the oldest calls go first, their answers long given up.
        while (lateCalls_.size() > 64) {
            lateCalls_.erase(lateCalls_.begin());
        }
    }
}

void AccessibilityBus::noteLateAnswer(sd_bus_message* message) {
    std::uint64_t cookie = 0;
    if (sd_bus_message_get_reply_cookie(message, &cookie) < 0) {
        return;
    }
    if (const auto call = lateCalls_.find(cookie); call != lateCalls_.end()) {
        if (const auto known = processes_.find(call->second); known != processes_.end()) {
            answeredLate_.insert(known->second);
        }
        lateCalls_.erase(call);
    }
}

std::set<pid_t> AccessibilityBus::takeProcessesThatAnsweredLate() {
    dropUnreadMessages();
    return std::exchange(answeredLate_, {});
}

std::vector<AccessibleReference> AccessibilityBus::applications() {
    if (expired()) {
        return {};
    }
    Reply reply;
    int r = callMethod(bus_, kRegistryName, kRootPath, kAccessibleInterface, "GetChildren",
                       callTimeoutUsec(), reply);
    noteOutcome(r, reply.cookie, kRegistryName);
    if (r < 0) {
        return {};
    }
    return readReferences(reply.message).value_or(std::vector<AccessibleReference>{});
}

std::optional<pid_t> AccessibilityBus::processOfConnection(const std::string& busName) {
    if (auto known = processes_.find(busName); known != processes_.end()) {
        return known->second;
    }
    if (expired()) {
        return std::nullopt;
    }
    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(bus_, &call, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "GetConnectionUnixProcessID") < 0) {
        return std::nullopt;
    }
    Reply reply;
    int r = sd_bus_message_append(call, "s", busName.c_str());
    if (r >= 0) {
        r = sd_bus_call(bus_, call, callTimeoutUsec(), &reply.error, &reply.message);
    }
    sd_bus_message_unref(call);
    noteOutcome(r, 0, {});
    std::uint32_t pid = 0;
    if (r < 0 || sd_bus_message_read(reply.message, "u", &pid) <= 0) {
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
    if (expired()) {
        return std::nullopt;
    }
    Reply reply;
    int r =
        callMethod(bus_, object.bus.c_str(), object.path.c_str(), "org.freedesktop.DBus.Properties",
                   "Get", callTimeoutUsec(), reply, kAccessibleInterface, "Name");
    noteOutcome(r, reply.cookie, object.bus);
    const char* text = nullptr;
    if (r < 0 || sd_bus_message_read(reply.message, "v", "s", &text) <= 0 || text == nullptr) {
        return std::nullopt;
    }
    return std::string(text);
}

std::optional<std::uint32_t> AccessibilityBus::role(const AccessibleReference& object) {
    if (expired()) {
        return std::nullopt;
    }
    Reply reply;
    int r = callMethod(bus_, object.bus.c_str(), object.path.c_str(), kAccessibleInterface,
                       "GetRole", callTimeoutUsec(), reply);
    noteOutcome(r, reply.cookie, object.bus);
    std::uint32_t value = 0;
    if (r < 0 || sd_bus_message_read(reply.message, "u", &value) <= 0) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint64_t> AccessibilityBus::states(const AccessibleReference& object) {
    if (expired()) {
        return std::nullopt;
    }
    Reply reply;
    int r = callMethod(bus_, object.bus.c_str(), object.path.c_str(), kAccessibleInterface,
                       "GetState", callTimeoutUsec(), reply);
    noteOutcome(r, reply.cookie, object.bus);
    if (r < 0 || sd_bus_message_enter_container(reply.message, 'a', "u") < 0) {
        return std::nullopt;
    }
    std::uint64_t bits = 0;
    std::uint32_t word = 0;
    for (int index = 0; index < 2 && sd_bus_message_read(reply.message, "u", &word) > 0; ++index) {
        bits |= static_cast<std::uint64_t>(word) << (32 * index);
    }
    return bits;
}

std::optional<std::vector<AccessibleReference>> AccessibilityBus::children(
    const AccessibleReference& object) {
    if (expired()) {
        return std::nullopt;
    }
    Reply reply;
    int r = callMethod(bus_, object.bus.c_str(), object.path.c_str(), kAccessibleInterface,
                       "GetChildren", callTimeoutUsec(), reply);
    noteOutcome(r, reply.cookie, object.bus);
    if (r < 0) {
        return std::nullopt;
    }
    return readReferences(reply.message);
}

std::optional<std::map<std::string, std::string>> AccessibilityBus::attributes(
    const AccessibleReference& object) {
    return readAttributes(object, kAccessibleInterface);
}

std::optional<std::map<std::string, std::string>> AccessibilityBus::documentAttributes(
    const AccessibleReference& object) {
    return readAttributes(object, "org.a11y.atspi.Document");
}

std::optional<std::map<std::string, std::string>> AccessibilityBus::readAttributes(
    const AccessibleReference& object, const char* interface) {
    if (expired()) {
        return std::nullopt;
    }
    Reply reply;
    int r = callMethod(bus_, object.bus.c_str(), object.path.c_str(), interface, "GetAttributes",
                       callTimeoutUsec(), reply);
    noteOutcome(r, reply.cookie, object.bus);
    if (r < 0 || sd_bus_message_enter_container(reply.message, 'a', "{ss}") < 0) {
        return std::nullopt;
    }
    std::map<std::string, std::string> values;
    const char* key = nullptr;
    const char* value = nullptr;
    while (sd_bus_message_read(reply.message, "{ss}", &key, &value) > 0) {
        values[key] = value;
    }
    return values;
}

std::optional<std::vector<AccessibleReference>> AccessibilityBus::showingDocuments(
    const AccessibleReference& root) {
    if (expired()) {
        return std::nullopt;
    }
    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(bus_, &call, root.bus.c_str(), root.path.c_str(),
                                       "org.a11y.atspi.Collection", "GetMatches") < 0) {
        return std::nullopt;
    }
    // The rule: every state of the set (showing), any role of the set (the document roles),
    // no attributes or interfaces asked for, not inverted. Both sets are bit sets in 32-bit
    // words. One match, the first in the tree's order: the search then stops at the document
    // and never walks into its contents (all the cells of a spreadsheet, for one), which can
    // keep an application busy for minutes.
    constexpr std::int32_t kMatchAll = 1;
    constexpr std::int32_t kMatchAny = 2;
    constexpr std::uint32_t kSortCanonical = 1;
    constexpr std::int32_t kOneMatch = 1;
    std::int32_t states[2] = {0, 0};
    states[accessibility::kStateShowing / 32] |= std::int32_t(1)
                                                 << (accessibility::kStateShowing % 32);
    std::int32_t roles[4] = {0, 0, 0, 0};
    for (std::uint32_t role : kDocumentRoles) {
        roles[role / 32] |= static_cast<std::int32_t>(1U << (role % 32));
    }
    int r = sd_bus_message_open_container(call, 'r', "aiia{ss}iaiiasib");
    if (r >= 0)
        r = sd_bus_message_append_array(call, 'i', states, sizeof states);
    if (r >= 0)
        r = sd_bus_message_append(call, "i", kMatchAll);
    if (r >= 0)
        r = sd_bus_message_append(call, "a{ss}", 0);
    if (r >= 0)
        r = sd_bus_message_append(call, "i", kMatchAll);
    if (r >= 0)
        r = sd_bus_message_append_array(call, 'i', roles, sizeof roles);
    if (r >= 0)
        r = sd_bus_message_append(call, "i", kMatchAny);
    if (r >= 0)
        r = sd_bus_message_append(call, "as", 0);
    if (r >= 0)
        r = sd_bus_message_append(call, "ib", kMatchAll, 0);
    if (r >= 0)
        r = sd_bus_message_close_container(call);
    if (r >= 0)
        r = sd_bus_message_append(call, "uib", kSortCanonical, kOneMatch, 1);
    sd_bus_message_set_auto_start(call, 0);
    Reply reply;
    if (r >= 0) {
        r = sd_bus_call(bus_, call, callTimeoutUsec(), &reply.error, &reply.message);
        sd_bus_message_get_cookie(call, &reply.cookie);
    }
    sd_bus_message_unref(call);
    noteOutcome(r, reply.cookie, root.bus);
    if (r < 0) {
        return std::nullopt;
    }
    return readReferences(reply.message);
}

std::vector<AccessibleFrame> AccessibilityBus::frames(const AccessibleReference& application) {
    std::vector<AccessibleFrame> frames;
    const auto tops = children(application);
    if (!tops) {
        return frames;
    }
    for (const auto& top : *tops) {
        const auto role = this->role(top);
        if (!role || !isTopLevelRole(*role)) {
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
    const AccessibleReference& frame, int budget) {
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
    if (timedOut_) {
        return std::nullopt;
    }
    std::vector<AccessibleReference> pending{frame};
    while (!pending.empty() && budget-- > 0 && !timedOut_) {
        const AccessibleReference object = std::move(pending.back());
        pending.pop_back();
        if (!(object == frame)) {
            const auto bits = states(object);
            if (!bits || !hasState(*bits, accessibility::kStateShowing)) {
                continue;
            }
            const auto role = this->role(object);
            if (role && isDocumentRole(*role)) {
                return describe(object);
            }
        }
        if (auto below = children(object)) {
            // Depth first, in the order the application lists them.
            pending.insert(pending.end(), below->rbegin(), below->rend());
        }
    }
    return std::nullopt;
}

}  // namespace platform::linux_platform
