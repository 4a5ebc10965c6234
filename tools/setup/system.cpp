#include "system.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace qorda::setup {

namespace fs = std::filesystem;

namespace {

std::string describe(const fs::path& path, int code) {
    std::string text = path.string() + ": " + std::strerror(code);
    if (code == EACCES || code == EPERM) text += " (system folders need root: try sudo)";
    return text;
}

// Closes the descriptor on every path out of writeFileAtomically.
struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The rename is only durable once the folder itself is synced.
void syncFolder(const fs::path& folder) {
    FileDescriptor dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd >= 0) ::fsync(dir.fd);
}

}  // namespace

std::optional<fs::path> homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home);
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && *entry->pw_dir)
        return fs::path(entry->pw_dir);
    return std::nullopt;
}

bool pathExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

bool isExecutableFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

bool isOnPath(std::string_view program) {
    const char* path = std::getenv("PATH");
    if (!path) return false;
    std::stringstream entries{std::string(path)};
    std::string entry;
    while (std::getline(entries, entry, ':')) {
        if (!entry.empty() && isExecutableFile(fs::path(entry) / program)) return true;
    }
    return false;
}

std::optional<std::string> readTextFile(const fs::path& path, std::string* error) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        *error = ec ? describe(path, ec.value()) : "";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = describe(path, errno ? errno : EIO);
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string createFolders(const fs::path& folder) {
    std::vector<fs::path> missing;
    for (fs::path p = folder; !p.empty() && !pathExists(p); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0755) != 0 && errno != EEXIST) return describe(*it, errno);
        ::chmod(it->c_str(), 0755);  // the umask must not narrow it
    }
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return folder.string() + ": not a folder";
    return "";
}

std::string writeFileAtomically(const fs::path& file, std::string_view text) {
    std::string temporary = ".";  // hidden, and never taken for a manifest
    temporary += file.filename().string();
    temporary += ".XXXXXX";
    std::string pattern = (file.parent_path() / temporary).string();
    FileDescriptor temp{::mkstemp(pattern.data())};
    if (temp.fd < 0) return describe(file.parent_path(), errno);

    const auto fail = [&](int code) {
        ::unlink(pattern.c_str());
        return describe(file, code);
    };
    if (::fchmod(temp.fd, 0644) != 0) return fail(errno);
    if (!writeAll(temp.fd, text)) return fail(errno ? errno : EIO);
    if (::fsync(temp.fd) != 0) return fail(errno);
    if (::close(temp.fd) != 0) {
        temp.fd = -1;
        return fail(errno);
    }
    temp.fd = -1;
    if (::rename(pattern.c_str(), file.c_str()) != 0) return fail(errno);
    syncFolder(file.parent_path());
    return "";
}

std::string removeFile(const fs::path& file) {
    if (::unlink(file.c_str()) != 0) return describe(file, errno);
    return "";
}

}  // namespace qorda::setup
