// POSIX file operations (Linux). Maps errno to the program's error kinds.
#include "host/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "host/errors.h"

namespace velk::files {
namespace {

std::string ParentOf(const std::string& path) {
    auto pos = path.find_last_of('/');
    if (pos == std::string::npos) return ".";
    if (pos == 0) return "/";
    return path.substr(0, pos);
}

[[noreturn]] void ThrowForErrno(int err, const std::string& path) {
    switch (err) {
        case ENOENT:
            if (IsDirectory(ParentOf(path)))
                throw FileNotFoundException("Could not find file '" + path + "'.");
            throw DirectoryNotFoundException("Could not find a part of the path '" + path + "'.");
        case ENOTDIR:
            throw DirectoryNotFoundException("Could not find a part of the path '" + path + "'.");
        case EACCES:
        case EPERM:
        case EISDIR:
            throw UnauthorizedAccessException("Access to the path '" + path + "' is denied.");
        default:
            throw IOException(std::string(std::strerror(err)) + " : '" + path + "'");
    }
}

}  // namespace

char Separator() { return '/'; }
bool IsSeparator(char c) { return c == '/'; }
bool IsRooted(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::optional<std::string> ParentDirectory(const std::string& directory) {
    std::string d = directory;
    if (d.size() > 1 && d.back() == '/') d.pop_back();
    if (d.empty() || d == "/") return std::nullopt;
    auto pos = d.find_last_of('/');
    if (pos == std::string::npos) return std::nullopt;
    if (pos == 0) return std::string("/");  // the root keeps its separator
    return d.substr(0, pos);
}

std::string ExecutableDirectory() {
    char buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) throw IOException("Cannot find the executable's path.");
    std::string path(buf, static_cast<size_t>(n));
    auto pos = path.find_last_of('/');
    return path.substr(0, pos + 1);
}

std::string FullPath(const std::string& path) {
    bool blank = true;
    for (char c : path)
        if (c != ' ' && !(c >= '\t' && c <= '\r')) blank = false;
    if (blank) throw ArgumentException("The path is empty. (Parameter 'path')");
    std::string joined = path;
    if (!IsRooted(path)) {
        char cwd[PATH_MAX + 1];
        if (!getcwd(cwd, sizeof cwd)) throw IOException("Cannot read the current directory.");
        joined = std::string(cwd) + "/" + path;
    }
    // Resolve "." and ".." and repeated separators, textually.
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= joined.size()) {
        size_t j = joined.find('/', i);
        if (j == std::string::npos) j = joined.size();
        std::string seg = joined.substr(i, j - i);
        if (seg == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!seg.empty() && seg != ".") {
            parts.push_back(seg);
        }
        i = j + 1;
    }
    std::string out;
    for (auto& p : parts) out += "/" + p;
    if (out.empty()) out.assign(1, '/');
    if (joined.size() > 1 && joined.back() == '/' && out != "/") out += "/";
    return out;
}

bool IsRegularFile(const std::string& path) noexcept {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) noexcept {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<uint8_t> ReadAllBytes(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) ThrowForErrno(errno, path);
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        ThrowForErrno(EISDIR, path);
    }
    std::vector<uint8_t> bytes;
    if (st.st_size > 0) bytes.reserve(static_cast<size_t>(st.st_size));
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            close(fd);
            ThrowForErrno(err, path);
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), buf, buf + n);
    }
    close(fd);
    return bytes;
}

void WriteAllBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) ThrowForErrno(errno, path);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            close(fd);
            ThrowForErrno(err, path);
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
}

std::vector<std::string> ListFileNames(const std::string& directory) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.c_str()), closedir);
    if (!dir) ThrowForErrno(errno, directory);
    std::vector<std::string> names;
    while (dirent* e = readdir(dir.get())) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (IsRegularFile(directory + "/" + name)) names.push_back(name);
    }
    return names;
}

namespace {

// 100 ns units since 1601-01-01 (the Unix epoch is 11644473600 s later).
int64_t FileTime(const timespec& t) {
    constexpr int64_t kEpochDelta = 11644473600LL;
    return (static_cast<int64_t>(t.tv_sec) + kEpochDelta) * 10000000LL + t.tv_nsec / 100;
}

}  // namespace

int64_t LastWriteTimeUtc(const std::string& path) noexcept {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    return FileTime(st.st_mtim);
}

int64_t CurrentTimeUtc() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return FileTime(now);
}

}  // namespace velk::files
