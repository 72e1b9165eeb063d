#include "testing/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test_support {

namespace fs = std::filesystem;

std::string makeTemporaryFolder(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder for " + pattern);
    }
    return pattern;
}

void removeTree(const std::string& path) {
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(
             path, fs::directory_options::skip_permission_denied, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            ::chmod(it->path().c_str(), 0700);
        }
    }
    fs::remove_all(path, ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& contents) {
    std::error_code ignored;  // a folder that cannot be made fails the write below
    fs::create_directories(fs::path(path).parent_path(), ignored);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

void appendFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

bool itemExists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

mode_t modeOf(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::map<std::string, std::string> treeAt(const std::string& root, FileContent content) {
    std::map<std::string, std::string> tree;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string relative = it->path().lexically_relative(root).string();
        if (it->is_symlink(error)) {
            tree[relative] = "-> " + fs::read_symlink(it->path(), error).string();
        } else if (it->is_directory(error)) {
            tree[relative] = "<folder>";
        } else if (content == FileContent::Bytes) {
            tree[relative] = readFile(it->path().string());
        } else {
            const std::string bytes = readFile(it->path().string());
            tree[relative] = std::to_string(bytes.size()) + " bytes, digest " +
                             std::to_string(std::hash<std::string>{}(bytes));
        }
    }
    return tree;
}

}  // namespace test_support
