// Files for the tests: folders of their own under the temporary folder, removed with everything
// in them, whole files read and written, and a folder's tree as a map for "nothing changed"
// comparisons.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace test_support {

// A new folder under the temporary folder named the prefix and six random characters; throws
// when none can be made.
std::string makeTemporaryFolder(const std::string& prefix);
// Removes a tree; its folders are made writable first, so that a test's modes cannot stop it.
void removeTree(const std::string& path);

class TemporaryFolder {
  public:
    explicit TemporaryFolder(const std::string& prefix = "pendra-test-")
        : path_(makeTemporaryFolder(prefix)) {}
    ~TemporaryFolder() {
        if (!keep_) {
            removeTree(path_);
        }
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }
    // Leaves the folder in place at the end, for a person to read what a failure left.
    void keep() { keep_ = true; }

  private:
    std::string path_;
    bool keep_ = false;
};

// The whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// Replaces a file with the contents, making its folder first where that is missing.
void writeFile(const std::string& path, const std::string& contents);
void appendFile(const std::string& path, const std::string& text);

// Whether anything is at the path, a link that leads nowhere included.
bool itemExists(const std::string& path);
// The permission bits of the item itself (not a link's target); 0 when there is none.
mode_t modeOf(const std::string& path);
// The names in a folder, sorted; none when it cannot be read.
std::vector<std::string> namesIn(const std::string& folder);

// How treeAt shows a file: its bytes, or (for large trees, whose failures print them) its
// size and a digest.
enum class FileContent { Bytes, Digest };
// Every item below a folder by its relative path: "<folder>", "-> target" for a link, or the
// file's content; empty when nothing is there.
std::map<std::string, std::string> treeAt(const std::string& root,
                                          FileContent content = FileContent::Bytes);

}  // namespace test_support
