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
constexpr const char* kDocumentInterface = "org.a11y.atspi.Document";
// The questions that describe a document (AccessibilityBus::describeQuestions).
constexpr std::size_t kDescribeQuestions = 5;

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

// The one value of a reply; absent when the call failed or answered something else.
template <typename Value>
std::optional<Value> valueOf(const BusReply& reply) {
    Value value{};
    if (!(reply.read() >> value)) {
        return std::nullopt;
    }
    return value;
}

// The name of a reply to a property read of it.
std::optional<std::string> nameOf(const BusReply& reply) {
    std::string text;
    if (!(reply.read() >> inVariant(text))) {
        return std::nullopt;
    }
    return text;
}

// The states of a reply to GetState: two 32-bit words, the lower first.
std::optional<std::uint64_t> statesOf(const BusReply& reply) {
    const auto words = valueOf<std::vector<std::uint32_t>>(reply);
    if (!words) {
        return std::nullopt;
    }
    std::uint64_t bits = 0;
    for (std::size_t index = 0; index < 2 && index < words->size(); ++index) {
        bits |= static_cast<std::uint64_t>((*words)[index]) << (32 * index);
    }
    return bits;
}

constexpr std::uint32_t kDocumentRoles[] = {
    accessibility::kRoleDocumentWeb, accessibility::kRoleDocumentFrame,
    accessibility::kRoleDocumentText, accessibility::kRoleDocumentSpreadsheet,
    accessibility::kRoleDocumentPresentation};

bool isDocumentRole(std::uint32_t role) {
    return std::find(std::begin(kDocumentRoles), std::end(kDocumentRoles), role) !=
           std::end(kDocumentRoles);
}

std::vector<AccessibleFrame> activeFirst(std::vector<AccessibleFrame> frames) {
    std::stable_partition(frames.begin(), frames.end(),
                          [](const AccessibleFrame& frame) { return frame.active; });
    return frames;
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
    askedAhead_.clear();
    dispatchUnread(bus_.get());
    calls_.setDeadline(deadline);
}

void AccessibilityBus::noteLateAnswer(sd_bus_message* message) {
    if (const auto asked = calls_.takeLateCall(message)) {
        if (const auto known = processes_.find(*asked); known != processes_.end()) {
            answeredLate_.insert(known->second);
        }
    }
}

std::set<pid_t> AccessibilityBus::takeProcessesThatAnsweredLate() {
    dispatchUnread(bus_.get());
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
    const auto pid = linux_platform::processOfConnection(calls_, bus_.get(), busName);
    if (pid && busName.starts_with(':')) {
        processes_[busName] = *pid;
    }
    return pid;
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

BusWriter AccessibilityBus::question(const AccessibleReference& object, const char* interface,
                                     const char* method) const {
    return BusWriter::methodCall(bus_.get(), object.bus.c_str(), object.path.c_str(), interface,
                                 method);
}

BusWriter AccessibilityBus::nameQuestion(const AccessibleReference& object) const {
    return std::move(question(object, kPropertiesInterface, "Get")
                     << kAccessibleInterface << "Name");
}

std::optional<std::string> AccessibilityBus::name(const AccessibleReference& object) {
    return nameOf(calls_.call(nameQuestion(object)));
}

std::optional<std::uint32_t> AccessibilityBus::role(const AccessibleReference& object) {
    return valueOf<std::uint32_t>(calls_.call(question(object, kAccessibleInterface, "GetRole")));
}

std::optional<std::uint64_t> AccessibilityBus::states(const AccessibleReference& object) {
    return statesOf(calls_.call(question(object, kAccessibleInterface, "GetState")));
}

std::optional<std::vector<AccessibleReference>> AccessibilityBus::children(
    const AccessibleReference& object) {
    return readReferences(calls_.call(question(object, kAccessibleInterface, "GetChildren")));
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
    // An object keeps its role for as long as it lives: each top-level object's is asked once,
    // and only those with a window's role are asked for their states and names.
    auto askWindows = [&](const std::vector<AccessibleReference>& tops,
                          std::vector<BusWriter>& batch) {
        for (const auto& top : tops) {
            if (isKnownWindow(top)) {
                batch.push_back(question(top, kAccessibleInterface, "GetState"));
                batch.push_back(nameQuestion(top));
            }
        }
    };
    auto readWindows = [&](const std::vector<AccessibleReference>& tops,
                           std::span<const BusReply> replies) {
        for (const auto& top : tops) {
            if (!isKnownWindow(top) || replies.size() < 2) {
                continue;
            }
            const auto bits = statesOf(replies[0]);
            const auto itsName = nameOf(replies[1]);
            replies = replies.subspan(2);
            if (!bits || hasState(*bits, accessibility::kStateDefunct)) {
                continue;
            }
            frames.push_back({top, itsName.value_or(""), topLevelRoles_[top.bus + top.path],
                              hasState(*bits, accessibility::kStateActive)});
        }
    };

    const std::string key = application.bus + application.path;
    std::vector<AccessibleReference> tops;
    if (const auto known = topsOfApplication_.find(key); known != topsOfApplication_.end()) {
        // Its windows of last time are asked with its list of windows: while the list stays,
        // that one round trip answers.
        std::vector<BusWriter> batch;
        batch.push_back(question(application, kAccessibleInterface, "GetChildren"));
        askWindows(known->second, batch);
        const std::size_t windowAnswers = batch.size();
        const AskedAhead ahead = askAhead(known->second, batch);
        auto replies = calls_.callAll(batch);
        keepAskedAhead(ahead, replies, windowAnswers);
        auto answered = readReferences(replies.front());
        if (!answered) {
            return frames;
        }
        if (*answered == known->second) {
            readWindows(known->second,
                        std::span<const BusReply>(replies).subspan(1, windowAnswers - 1));
            return activeFirst(std::move(frames));
        }
        tops = std::move(*answered);
    } else if (auto answered = children(application)) {
        tops = std::move(*answered);
    } else {
        return frames;
    }
    if (topLevelRoles_.size() >= 1024) {
        topLevelRoles_.clear();
    }
    std::vector<BusWriter> roleQuestions;
    std::vector<const AccessibleReference*> unknown;
    for (const auto& top : tops) {
        if (!topLevelRoles_.contains(top.bus + top.path)) {
            roleQuestions.push_back(question(top, kAccessibleInterface, "GetRole"));
            unknown.push_back(&top);
        }
    }
    const auto roles = calls_.callAll(roleQuestions);
    for (std::size_t index = 0; index < unknown.size(); ++index) {
        if (const auto role = valueOf<std::uint32_t>(roles[index])) {
            topLevelRoles_[unknown[index]->bus + unknown[index]->path] = *role;
        }
    }
    std::vector<BusWriter> batch;
    askWindows(tops, batch);
    readWindows(tops, calls_.callAll(batch));
    if (!calls_.timedOut()) {
        if (topsOfApplication_.size() >= 256) {
            topsOfApplication_.clear();
        }
        topsOfApplication_[key] = std::move(tops);
    }
    return activeFirst(std::move(frames));
}

bool AccessibilityBus::isKnownWindow(const AccessibleReference& top) const {
    const auto known = topLevelRoles_.find(top.bus + top.path);
    return known != topLevelRoles_.end() && isTopLevelRole(known->second);
}

AccessibilityBus::AskedAhead AccessibilityBus::askAhead(
    const std::vector<AccessibleReference>& tops, std::vector<BusWriter>& batch) const {
    AskedAhead ahead;
    for (const auto& top : tops) {
        const auto remembered = documentOfFrame_.find(top.bus + top.path);
        if (isKnownWindow(top) && remembered != documentOfFrame_.end() &&
            remembered->second.document) {
            const auto& document = *remembered->second.document;
            ahead.documents.push_back(document.bus + document.path);
            for (auto& each : describeQuestions(document)) {
                batch.push_back(std::move(each));
            }
        }
    }
    for (const auto& top : tops) {
        if (const auto field = locationFields_.find(top.bus + top.path);
            isKnownWindow(top) && field != locationFields_.end()) {
            ahead.fields.push_back(field->second.bus + field->second.path);
            batch.push_back(textQuestion(field->second));
        }
    }
    return ahead;
}

void AccessibilityBus::keepAskedAhead(const AskedAhead& ahead, std::vector<BusReply>& replies,
                                      std::size_t first) {
    // In the order asked: each document's description, then each field's text.
    auto next = replies.begin() + static_cast<std::ptrdiff_t>(first);
    for (const auto& document : ahead.documents) {
        askedAhead_[document] = {std::make_move_iterator(next),
                                 std::make_move_iterator(next + kDescribeQuestions)};
        next += kDescribeQuestions;
    }
    for (const auto& field : ahead.fields) {
        auto& kept = askedAhead_[field];
        kept.clear();
        kept.push_back(std::move(*next++));
    }
}

std::vector<BusWriter> AccessibilityBus::describeQuestions(
    const AccessibleReference& document) const {
    std::vector<BusWriter> questions;
    questions.push_back(nameQuestion(document));
    questions.push_back(question(document, kDocumentInterface, "GetAttributes"));
    questions.push_back(question(document, kAccessibleInterface, "GetAttributes"));
    questions.push_back(question(document, kAccessibleInterface, "GetState"));
    questions.push_back(question(document, kAccessibleInterface, "GetIndexInParent"));
    return questions;
}

std::optional<AccessibleDocument> AccessibilityBus::readDescription(
    const AccessibleReference& document, std::span<const BusReply> replies, bool stillShowing) {
    if (replies.size() < kDescribeQuestions) {
        return std::nullopt;
    }
    if (stillShowing) {
        // A document keeps its own showing state when its tab goes behind another; a browser
        // takes it out of the tree then, and it is nobody's child.
        const auto bits = statesOf(replies[3]);
        const auto index = valueOf<std::int32_t>(replies[4]);
        if (!bits || !hasState(*bits, accessibility::kStateShowing) ||
            hasState(*bits, accessibility::kStateDefunct) || !index || *index < 0) {
            return std::nullopt;
        }
    }
    AccessibleDocument described;
    described.name = nameOf(replies[0]).value_or("");
    if (described.name.empty()) {
        // Some engines work a document's name out only when first asked for it.
        described.name = name(document).value_or("");
    }
    for (const BusReply& reply : replies.subspan(1, 2)) {
        if (const auto values = valueOf<std::map<std::string, std::string>>(reply);
            values && described.url.empty()) {
            described.url = documentAddressOf(*values).value_or("");
        }
    }
    return described;
}

std::optional<AccessibleDocument> AccessibilityBus::describe(const AccessibleReference& document,
                                                             bool stillShowing) {
    if (const auto ahead = askedAhead_.find(document.bus + document.path);
        ahead != askedAhead_.end()) {
        const auto replies = std::move(ahead->second);
        askedAhead_.erase(ahead);
        return readDescription(document, replies, stillShowing);
    }
    return readDescription(document, calls_.callAll(describeQuestions(document)), stillShowing);
}

std::optional<AccessibleDocument> AccessibilityBus::showingDocument(
    const AccessibleFrame& frame, int budget, const std::function<bool()>& insteadOfWalking) {
    const std::string key = frame.object.bus + frame.object.path;
    bool noneBefore = false;
    if (const auto known = documentOfFrame_.find(key);
        known != documentOfFrame_.end() && known->second.frameTitle == frame.name) {
        if (known->second.document) {
            if (auto document = describe(*known->second.document, true)) {
                return document;
            }
        } else if (known->second.believed) {
            return std::nullopt;
        } else {
            noneBefore = true;
        }
    }
    // One search call where the application offers it; it answers the documents in the
    // tree's order, the outermost first.
    std::optional<AccessibleReference> found;
    if (auto documents = showingDocuments(frame.object)) {
        if (!documents->empty()) {
            found = documents->front();
        }
    } else if (!calls_.timedOut() && !(insteadOfWalking && insteadOfWalking())) {
        found = findDepthFirst<AccessibleReference>(
            frame.object, budget,
            [&](const AccessibleReference& object,
                bool& descend) -> std::optional<AccessibleReference> {
                const auto bits = states(object);
                if (!bits || !hasState(*bits, accessibility::kStateShowing)) {
                    descend = false;
                    return std::nullopt;
                }
                const auto role = this->role(object);
                return role && isDocumentRole(*role) ? std::optional(object) : std::nullopt;
            });
    }
    std::optional<AccessibleDocument> document;
    if (found) {
        document = describe(*found, false);
    }
    if (!calls_.timedOut()) {
        if (documentOfFrame_.size() >= 256) {
            documentOfFrame_.clear();
        }
        documentOfFrame_[key] = {frame.name, found, found.has_value() || noneBefore};
    }
    return document;
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
