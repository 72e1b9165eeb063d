#include "linux_desktop_events.h"

#include "platform/object_model.h"

namespace platform::linux_platform {
namespace {

// An application of the desktop as its accessibility tree shows it: its windows, front first,
// and the one document there is, that of the front window.
class DesktopObjects final : public ObjectModel {
  public:
    DesktopObjects(const std::string& applicationName, const DesktopApplicationView& view)
        : applicationName_(applicationName), view_(view) {}

    std::size_t countElements(const ObjectReference& container,
                              DescType elementClass) const override {
        if (container.objectClass() != cApplication) {
            return 0;
        }
        if (elementClass == cWindow) {
            return view_.windows.size();
        }
        return elementClass == cDocument && view_.frontDocument ? 1 : 0;
    }

    std::optional<std::string> name(const ObjectReference& object) const override {
        switch (object.objectClass()) {
            case cApplication:
                return applicationName_;
            case cWindow:
                return view_.windows[object.index()].name;
            case cDocument:
                return view_.frontDocument->name;
            default:
                return std::nullopt;
        }
    }

    std::optional<AppleEventDescriptor> property(const ObjectReference& object,
                                                 DescType code) const override {
        const DescType objectClass = object.objectClass();
        if (objectClass == cApplication && code == pIsFrontmost) {
            // Only the application in front is asked.
            return AppleEventDescriptor::descriptorWithBoolean(true);
        }
        if (objectClass == cApplication && code == pURL && !view_.applicationURL.empty()) {
            // What a capture links to when the application shows no document with an address.
            return AppleEventDescriptor::descriptorWithString(view_.applicationURL);
        }
        if (objectClass == cDocument) {
            const DesktopDocument& document = *view_.frontDocument;
            if (code == pURL && !document.url.empty()) {
                return AppleEventDescriptor::descriptorWithString(document.url);
            }
            if ((code == pPath || code == pFile) && !document.path.empty()) {
                return AppleEventDescriptor::descriptorWithString(document.path);
            }
        }
        return std::nullopt;
    }

  private:
    const std::string& applicationName_;
    const DesktopApplicationView& view_;
};

}  // namespace

void answerDesktopEvent(const AppleEventDescriptor& event, const std::string& applicationName,
                        const DesktopApplicationView& view, AppleEventDescriptor& reply) {
    answerGetData(event, DesktopObjects(applicationName, view)).fill(reply);
}

}  // namespace platform::linux_platform
