#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "linux_editor_titles.h"
#include "linux_processes.h"
#include "platform/url.h"
#include "platform/utf.h"

namespace platform::linux_platform {
namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";           // "…"
constexpr std::string_view kEmDashSeparator = " \xE2\x80\x94 ";  // " — "

std::string attribute(const std::string& tag, const std::string& name) {
    const std::string key = " " + name + "=\"";
    const auto at = tag.find(key);
    if (at == std::string::npos) {
        return {};
    }
    const auto start = at + key.size();
    const auto end = tag.find('"', start);
    return end == std::string::npos ? std::string() : tag.substr(start, end - start);
}

std::string decodeEntities(const std::string& text) {
    static const std::pair<std::string_view, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        bool replaced = false;
        for (const auto& [entity, character] : kEntities) {
            if (text.compare(i, entity.size(), entity) == 0) {
                out += character;
                i += entity.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out += text[i++];
        }
    }
    return out;
}

// The path of a local file URL (no host, or "localhost"); empty for anything else.
std::string pathOfFileURL(const std::string& text) {
    const auto url = URL::URLWithString(text);
    if (!url || !url->isFileURL()) {
        return {};
    }
    const auto components = URLComponents::componentsWithURL(*url);
    if (!components || (components->host() && !components->host()->empty() &&
                        *components->host() != "localhost")) {
        return {};
    }
    return url->path();
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// Whether a folder fits one that a title shortened: the text before and after "…" are its
// start and end.
bool fitsShortenedFolder(const std::string& folder, const std::string& shortened) {
    const auto at = shortened.find(kEllipsis);
    if (at == std::string::npos) {
        return folder == shortened;
    }
    const std::string head = shortened.substr(0, at);
    const std::string tail = shortened.substr(at + kEllipsis.size());
    return folder.size() >= head.size() + tail.size() &&
           folder.compare(0, head.size(), head) == 0 &&
           folder.compare(folder.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::optional<TitledFile> parseEditorTitle(const std::string& title, const std::string& home) {
    // The application's part follows the first " — " (a viewer puts the document's own title
    // there, which may hold dashes of its own), else the last " - ".
    auto end = title.find(kEmDashSeparator);
    if (end == std::string::npos) {
        end = title.rfind(" - ");
    }
    if (end == std::string::npos || end == 0) {
        return std::nullopt;
    }
    std::string shown = title.substr(0, end);
    if (!shown.empty() && shown[0] == '*') {
        shown.erase(0, 1);
    }
    // Qt editors mark a modified file after its name and keep a space for the mark otherwise.
    while (!shown.empty() && shown.back() == ' ') {
        shown.pop_back();
    }
    if (shown.size() > 2 && shown.ends_with(" *")) {
        shown.resize(shown.size() - 2);
    }
    if (shown.empty()) {
        return std::nullopt;
    }
    auto expandHome = [&home](const std::string& folder) {
        if (folder == "~") {
            return home;
        }
        return folder.compare(0, 2, "~/") == 0 ? home + folder.substr(1) : folder;
    };
    TitledFile file;
    // A full path, or one under the home folder as editors show it to everyone but root.
    if (shown[0] == '/' || shown.compare(0, 2, "~/") == 0) {
        file.path = expandHome(shown);
        file.name = nameOf(file.path);
        return file;
    }
    // "name (folder)": the folder is the last parenthesised part.
    if (shown.back() == ')') {
        const auto open = shown.rfind(" (");
        if (open != std::string::npos) {
            const std::string folder = expandHome(shown.substr(open + 2, shown.size() - open - 3));
            file.name = shown.substr(0, open);
            if (!folder.empty() && folder[0] == '/') {
                // A shortened folder is left for the recently-used files to settle.
                if (folder.find(kEllipsis) == std::string::npos) {
                    file.path = folder == "/" ? "/" + file.name : folder + "/" + file.name;
                } else {
                    file.shortenedFolder = folder;
                }
                return file;
            }
        }
    }
    // "name - folder": the folder is what follows the last " - " that a folder starts.
    for (auto dash = shown.rfind(" - "); dash != std::string::npos && dash > 0;
         dash = shown.rfind(" - ", dash - 1)) {
        const std::string folder = expandHome(shown.substr(dash + 3));
        if (!folder.empty() && folder[0] == '/') {
            file.name = shown.substr(0, dash);
            file.path = folder == "/" ? "/" + file.name : folder + "/" + file.name;
            return file;
        }
    }
    file.name = shown;
    return file;
}

std::optional<std::string> pathOfRecentFileItem(const std::string& item, const std::string& name) {
    const std::string head = name + " [/";
    if (name.empty() || item.size() <= head.size() || item.compare(0, head.size(), head) != 0 ||
        item.back() != ']') {
        return std::nullopt;
    }
    std::string path = item.substr(head.size() - 1, item.size() - head.size());
    if (nameOf(path) != name) {
        return std::nullopt;
    }
    return path;
}

std::string openFileOfProcess(pid_t pid, const std::string& name,
                              const std::string& shortenedFolder) {
    if (pid <= 0 || name.empty()) {
        return {};
    }
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* descriptors = ::opendir(folder.c_str());
    if (descriptors == nullptr) {
        return {};
    }
    std::string found;
    while (const dirent* each = ::readdir(descriptors)) {
        if (each->d_name[0] == '.') {
            continue;
        }
        char buffer[4096];
        const std::string link = folder + "/" + each->d_name;
        const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
        if (length <= 0 || buffer[0] != '/') {
            continue;
        }
        const std::string path(buffer, static_cast<std::size_t>(length));
        struct stat status {};
        if (nameOf(path) != name || ::stat(link.c_str(), &status) != 0 ||
            !S_ISREG(status.st_mode) ||
            (!shortenedFolder.empty() && !fitsShortenedFolder(folderOf(path), shortenedFolder))) {
            continue;
        }
        found = path;
        break;
    }
    ::closedir(descriptors);
    return found;
}

std::vector<RecentFile> parseRecentlyUsed(const std::string& text) {
    std::vector<RecentFile> files;
    std::size_t at = 0;
    while ((at = text.find("<bookmark ", at)) != std::string::npos) {
        const auto tagEnd = text.find('>', at);
        if (tagEnd == std::string::npos) {
            break;
        }
        const std::string tag = text.substr(at, tagEnd - at);
        auto close = text.find("</bookmark>", tagEnd);
        if (close == std::string::npos) {
            close = text.size();
        }
        RecentFile file;
        file.path = pathOfFileURL(decodeEntities(attribute(tag, "href")));
        file.modified = attribute(tag, "modified");
        const std::string body = text.substr(tagEnd, close - tagEnd);
        std::size_t application = 0;
        while ((application = body.find("<bookmark:application ", application)) !=
               std::string::npos) {
            const auto end = body.find('>', application);
            file.applications.push_back(
                decodeEntities(attribute(body.substr(application, end - application), "name")));
            application = end;
        }
        if (!file.path.empty()) {
            files.push_back(std::move(file));
        }
        at = close;
    }
    return files;
}

std::optional<TitledFile> fileOfEditorTitle(const std::string& title, const std::string& editorName,
                                            pid_t pid) {
    auto file = parseEditorTitle(title, homeDirectory());
    if (!file) {
        // A viewer titles a document that has no title of its own by the file's name alone.
        std::string path = openFileOfProcess(pid, title);
        return path.empty() ? std::nullopt
                            : std::optional<TitledFile>(TitledFile{title, std::move(path), {}});
    }
    if (!file->path.empty()) {
        return file;
    }
    // Only the name, perhaps with a shortened folder: a file of that name that the process
    // holds open is the one it shows (a viewer keeps its document open); else the
    // recently-used files settle it.
    const std::string& name = file->name;
    const std::string& shortenedFolder = file->shortenedFolder;
    file->path = openFileOfProcess(pid, name, shortenedFolder);
    if (!file->path.empty()) {
        return file;
    }
    std::ifstream in(xdgDirectory("XDG_DATA_HOME", ".local/share") + "/recently-used.xbel");
    std::ostringstream text;
    text << in.rdbuf();
    const RecentFile* best = nullptr;
    bool bestByEditor = false;
    const std::string lowerEditor = utf::asciiLowercased(editorName);
    const auto recent = parseRecentlyUsed(text.str());
    for (const auto& candidate : recent) {
        if (nameOf(candidate.path) != name ||
            (!shortenedFolder.empty() &&
             !fitsShortenedFolder(folderOf(candidate.path), shortenedFolder))) {
            continue;
        }
        const bool byEditor = std::any_of(
            candidate.applications.begin(), candidate.applications.end(),
            [&](const std::string& application) {
                return !lowerEditor.empty() && utf::asciiLowercased(application) == lowerEditor;
            });
        if (best == nullptr || (byEditor && !bestByEditor) ||
            (byEditor == bestByEditor && candidate.modified > best->modified)) {
            best = &candidate;
            bestByEditor = byEditor;
        }
    }
    if (best != nullptr) {
        file->path = best->path;
    }
    return file;
}

}  // namespace platform::linux_platform
