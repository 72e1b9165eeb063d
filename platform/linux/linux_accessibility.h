// A client of the desktop's accessibility bus, spoken over sd-bus: the bus's address from the
// session bus, the applications registered on it, their frames and the document a frame
// shows. Every call is bounded by a timeout and by the deadline of the query it belongs to, so
// an application that does not answer costs at most that long, and asks for no more than the
// query needs: an application answers a question on its own thread, and one that walks a
// spreadsheet's every cell stops answering its user too. Only the application of a given
// process is asked; the others are known by the bus daemon's word alone.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bus_messages.h"

namespace platform::linux_platform {

// The roles and states of the accessibility interfaces that the client tells apart.
namespace accessibility {
inline constexpr std::uint32_t kRoleAlert = 2;
inline constexpr std::uint32_t kRoleDialog = 16;
inline constexpr std::uint32_t kRoleFrame = 23;
inline constexpr std::uint32_t kRoleMenu = 33;
inline constexpr std::uint32_t kRoleMenuBar = 34;
inline constexpr std::uint32_t kRoleMenuItem = 35;
inline constexpr std::uint32_t kRolePopupMenu = 41;
inline constexpr std::uint32_t kRoleText = 61;
inline constexpr std::uint32_t kRoleWindow = 69;
inline constexpr std::uint32_t kRoleEntry = 79;
inline constexpr std::uint32_t kRoleDocumentFrame = 82;
inline constexpr std::uint32_t kRoleDocumentSpreadsheet = 92;
inline constexpr std::uint32_t kRoleDocumentPresentation = 93;
inline constexpr std::uint32_t kRoleDocumentText = 94;
inline constexpr std::uint32_t kRoleDocumentWeb = 95;
inline constexpr unsigned kStateActive = 1;
inline constexpr unsigned kStateDefunct = 6;
inline constexpr unsigned kStateShowing = 25;
}  // namespace accessibility

// One object on the accessibility bus.
using AccessibleReference = BusObject;

// A top-level window of an application.
struct AccessibleFrame {
    AccessibleReference object;
    std::string name;
    std::uint32_t role = 0;
    bool active = false;
};

// The document a frame shows.
struct AccessibleDocument {
    std::string name;
    std::string url;  // the document's address attribute; empty when it has none
};

class AccessibilityBus {
  public:
    using Clock = std::chrono::steady_clock;

    // The accessibility bus of the current session bus; absent when the session has none
    // running (it is never started on our account) or it cannot be reached in time. With
    // `listenForActivation` the connection is registered as a listener for window activation,
    // which makes some applications (Chromium) mark their active frame.
    static std::unique_ptr<AccessibilityBus> connect(std::chrono::milliseconds timeout,
                                                     bool listenForActivation = false);
    ~AccessibilityBus();
    AccessibilityBus(const AccessibilityBus&) = delete;
    AccessibilityBus& operator=(const AccessibilityBus&) = delete;

    // Whether accessibility is switched on for the session (org.a11y.Status IsEnabled);
    // absent when the session bus does not say.
    static std::optional<bool> isEnabled(std::chrono::milliseconds timeout);

    const std::string& address() const { return address_; }
    bool isOpen() const;

    // Every call from now on ends by this moment at the latest, and none takes longer than
    // the per-call limit. Answers that came after their call had given up are dropped here,
    // unread: the connection is kept open, and each answer is matched to its own call alone.
    void setDeadline(Clock::time_point deadline);
    void setCallLimit(std::chrono::milliseconds limit) { calls_.setCallLimit(limit); }
    // True when a call since the last deadline was set ran out of time.
    bool timedOut() const { return calls_.timedOut(); }
    // How many round trips its calls have cost so far.
    std::uint64_t roundTrips() const { return calls_.roundTrips(); }

    // The applications registered on the bus (asked of the registry, not of them).
    std::vector<AccessibleReference> applications();
    // The process that owns a connection on the bus (asked of the bus daemon).
    std::optional<pid_t> processOfConnection(const std::string& busName);
    // The registered applications whose connection belongs to the process.
    std::vector<AccessibleReference> applicationsOfProcess(pid_t pid);

    std::optional<std::string> name(const AccessibleReference& object);
    std::optional<std::uint32_t> role(const AccessibleReference& object);
    std::optional<std::uint64_t> states(const AccessibleReference& object);
    std::optional<std::vector<AccessibleReference>> children(const AccessibleReference& object);
    // The first showing object below `root` with one of the document roles (text, web,
    // spreadsheet, presentation), asked in one call of the tree's search interface for one
    // match, so that the search ends at the document instead of walking into its contents;
    // an empty list when there is none, absent when the application does not offer the search.
    std::optional<std::vector<AccessibleReference>> showingDocuments(
        const AccessibleReference& root);

    // The top-level windows of an application, the active one first. The states and names of
    // the windows it had last time are asked together with its list of windows, so that while
    // the list stays the same one round trip answers.
    std::vector<AccessibleFrame> frames(const AccessibleReference& application);
    // The document showing in a frame: the first showing object with a document role, found
    // by the tree's search, else depth first through showing objects (at most `budget` objects
    // are looked at). Where the application offers no search, `insteadOfWalking` is asked
    // first, and the walk is left out when it answers true. What was found is remembered for
    // the frame and its title: while both stay, the document found is asked again alone (its
    // name, its address and whether it still shows, in one round trip), and a frame found twice
    // without one is not searched again.
    std::optional<AccessibleDocument> showingDocument(
        const AccessibleFrame& frame, int budget = 400,
        const std::function<bool()>& insteadOfWalking = {});
    // The next search of every frame is made afresh (what a benchmark of a first look measures).
    void forgetDocuments() { documentOfFrame_.clear(); }

    // The name of the first item of the frame's menu bar, hidden or not, that `wanted` accepts,
    // looked for depth first through the menus in their order (at most `budget` objects are
    // looked at, the menu bar's search among the frame's first levels included); absent when
    // there is none.
    std::optional<std::string> menuItemNamed(const AccessibleReference& frame,
                                             const std::function<bool(const std::string&)>& wanted,
                                             int budget = 200);

    // The whole text of an object of the text interface; absent when it has none.
    std::optional<std::string> text(const AccessibleReference& object);
    // The text of a frame's location field (a file manager's folder, a browser's address bar):
    // the first text or entry field below `frame` whose text `isLocation` accepts. Asked in one
    // search call for the first showing field where the application offers the search, else
    // found depth first through at most `budget` objects, showing or not, since some toolkits
    // mark nothing below a frame showing. The field found is remembered for its frame, so that
    // the next capture asks it alone.
    std::optional<std::string> locationText(const AccessibleReference& frame,
                                            bool (*isLocation)(const std::string&),
                                            int budget = 120);

    static bool hasState(std::uint64_t states, unsigned state) { return (states >> state) & 1U; }

    // The processes that have answered, since the last time, a call that had run out of time:
    // they are no longer busy with it.
    std::set<pid_t> takeProcessesThatAnsweredLate();
    // Whether a call to one of the process's connections ran out of time and its answer has
    // not come: the process is still busy with it.
    bool awaitsLateAnswerFrom(pid_t pid) const;
    // Sees each message the connection receives (its filter): notes an answer to a call that
    // had run out of time.
    void noteLateAnswer(sd_bus_message* message);

  private:
    AccessibilityBus(BusConnection bus, std::string address);
    // The call that asks an object one thing without arguments, and the one that asks its name.
    BusWriter question(const AccessibleReference& object, const char* interface,
                       const char* method) const;
    BusWriter nameQuestion(const AccessibleReference& object) const;
    // The questions that describe a document: its name, its address (among the attributes of
    // its document and its own), its states and its place in its parent; and the description
    // they answer, absent when `stillShowing` asks whether it still shows and it does not (or
    // is gone, or out of the tree).
    std::vector<BusWriter> describeQuestions(const AccessibleReference& document) const;
    std::optional<AccessibleDocument> readDescription(const AccessibleReference& document,
                                                      std::span<const BusReply> replies,
                                                      bool stillShowing);
    // A document described, from the answers already asked in this query where there are some.
    std::optional<AccessibleDocument> describe(const AccessibleReference& document,
                                               bool stillShowing);
    // The call that asks an object of the text interface for its whole text.
    BusWriter textQuestion(const AccessibleReference& object) const;
    // Whether a top-level object's role, asked before, is a window's.
    bool isKnownWindow(const AccessibleReference& top) const;
    // What was found last time for these windows, asked again ahead of the query that needs it
    // in the round trip that asks for the windows: the questions describing each one's
    // document, then those reading each one's location field, appended to `batch`; and whose
    // they are.
    struct AskedAhead {
        std::vector<std::string> documents;
        std::vector<std::string> fields;
    };
    AskedAhead askAhead(const std::vector<AccessibleReference>& tops,
                        std::vector<BusWriter>& batch) const;
    // Keeps the answers asked ahead, from `first` on, for describe() and locationText().
    void keepAskedAhead(const AskedAhead& ahead, std::vector<BusReply>& replies, std::size_t first);
    // The first showing object below `root` with one of `roles`, asked in one call of the
    // tree's search interface; absent when the application does not offer the search.
    std::optional<std::vector<AccessibleReference>> firstShowingWithRole(
        const AccessibleReference& root, std::span<const std::uint32_t> roles);
    // Visits the objects below `root` depth first, in the order the application lists them, at
    // most `budget` of them and never past the deadline, until `visit` answers a value; `visit`
    // clears its second argument to leave out what lies below the object it was shown.
    template <typename Found, typename Visit>
    std::optional<Found> findDepthFirst(const AccessibleReference& root, int budget, Visit visit) {
        std::vector<AccessibleReference> pending{root};
        while (!pending.empty() && budget-- > 0 && !calls_.timedOut()) {
            AccessibleReference object = std::move(pending.back());
            pending.pop_back();
            if (!(object == root)) {
                bool descend = true;
                if (std::optional<Found> found = visit(object, descend)) {
                    return found;
                }
                if (!descend) {
                    continue;
                }
            }
            if (auto below = children(object)) {
                pending.insert(pending.end(), below->rbegin(), below->rend());
            }
        }
        return std::nullopt;
    }
    // The location field of a frame and its text, looked for afresh.
    std::optional<std::pair<AccessibleReference, std::string>> findLocationField(
        const AccessibleReference& frame, bool (*isLocation)(const std::string&), int budget);

    std::string address_;
    BoundedCalls calls_;
    std::map<std::string, pid_t> processes_;
    std::set<pid_t> answeredLate_;  // unique connection names are never reused
    std::map<std::string, std::uint32_t> topLevelRoles_;  // by connection and path
    std::map<std::string, std::vector<AccessibleReference>> topsOfApplication_;  // likewise
    // What the search of a frame found for the frame's title: a document, or none (searched
    // again once before it is believed, since a window may show its title before its document).
    struct KnownDocument {
        std::string frameTitle;
        std::optional<AccessibleReference> document;
        bool believed = false;
    };
    std::map<std::string, KnownDocument> documentOfFrame_;  // by the frame's connection and path
    // The description of a remembered document, asked together with its frame's state in this
    // query; forgotten when the next query begins.
    std::map<std::string, std::vector<BusReply>> askedAhead_;    // by the document's
    std::map<std::string, AccessibleReference> locationFields_;  // frame (name and path) -> field
    // Last, so that it closes first: its filter sees the members above.
    BusConnection bus_;
};

// The document address an application gives as an attribute of its document.
std::optional<std::string> documentAddressOf(const std::map<std::string, std::string>& attributes);

}  // namespace platform::linux_platform
