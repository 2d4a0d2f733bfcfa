// File operations on Win32 (wide-character calls, UTF-8 paths inside the program).
//
// Maps Win32 error codes to the program's error kinds: a missing file is
// FileNotFoundException, a missing folder DirectoryNotFoundException, a denied
// access (a directory opened as a file included) UnauthorizedAccessException,
// anything else IOException with the system's text. Both '\' and '/' separate
// path segments; the program's own separator is '\'. Roots: "C:\", "\" and
// "\\server\share\".
#include <windows.h>

#include <algorithm>
#include <memory>

#include "host/errors.h"
#include "host/files.h"
#include "host/wide_text_windows.h"

namespace velk::files {
namespace {

using text::Narrow;
using text::Wide;

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

std::string SystemMessage(DWORD error) {
    wchar_t* buffer = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = n ? std::wstring(buffer, n) : L"";
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
    if (text.empty()) return "Win32 error " + std::to_string(error);
    return Narrow(text);
}

[[noreturn]] void ThrowForError(DWORD error, const std::string& path) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            throw FileNotFoundException("Could not find file '" + path + "'.");
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            throw DirectoryNotFoundException("Could not find a part of the path '" + path + "'.");
        case ERROR_ACCESS_DENIED:
            throw UnauthorizedAccessException("Access to the path '" + path + "' is denied.");
        case ERROR_SHARING_VIOLATION:
            throw IOException("The process cannot access the file '" + path +
                              "' because it is being used by another process.");
        default:
            throw IOException(SystemMessage(error) + " : '" + path + "'");
    }
}

// Length of the root at the start of a full path: 3 for "C:\", 1 for "\", the
// length of "\\server\share\" for a network path; 0 when there is none.
size_t RootLength(const std::string& path) {
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        size_t server = path.find_first_of("\\/", 2);
        if (server == std::string::npos) return path.size();
        size_t share = path.find_first_of("\\/", server + 1);
        return share == std::string::npos ? path.size() : share + 1;
    }
    if (path.size() >= 2 && path[1] == ':') return path.size() >= 3 && IsSeparator(path[2]) ? 3 : 2;
    if (!path.empty() && IsSeparator(path[0])) return 1;
    return 0;
}

}  // namespace

char Separator() { return '\\'; }
bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsRooted(const std::string& path) {
    if (!path.empty() && IsSeparator(path[0])) return true;
    return path.size() >= 2 && path[1] == ':' &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

std::optional<std::string> ParentDirectory(const std::string& directory) {
    size_t root = RootLength(directory);
    std::string d = directory;
    if (d.size() > root && IsSeparator(d.back())) d.pop_back();
    if (d.size() <= root) return std::nullopt;  // a root has no parent
    size_t pos = d.find_last_of("\\/");
    if (pos == std::string::npos) return std::nullopt;
    if (pos < root) return d.substr(0, root);  // the root keeps its separator
    return d.substr(0, pos);
}

std::string ExecutableDirectory() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) throw IOException("Cannot find the executable's path.");
        if (n < buffer.size()) {
            buffer.resize(n);
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    std::string path = Narrow(buffer);
    return path.substr(0, path.find_last_of("\\/") + 1);
}

std::string FullPath(const std::string& path) {
    bool blank = true;
    for (char c : path)
        if (c != ' ' && !(c >= '\t' && c <= '\r')) blank = false;
    if (blank) throw ArgumentException("The path is empty. (Parameter 'path')");
    std::wstring wide = Wide(path);
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) ThrowForError(GetLastError(), path);
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    if (n == 0) ThrowForError(GetLastError(), path);
    full.resize(n);
    return Narrow(full);
}

bool IsRegularFile(const std::string& path) noexcept {
    try {
        DWORD a = GetFileAttributesW(Wide(path).c_str());
        return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
    } catch (...) {
        return false;
    }
}

bool IsDirectory(const std::string& path) noexcept {
    try {
        DWORD a = GetFileAttributesW(Wide(path).c_str());
        return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
    } catch (...) {
        return false;
    }
}

std::vector<uint8_t> ReadAllBytes(const std::string& path) {
    UniqueHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        ThrowForError(GetLastError(), path);
    }
    std::vector<uint8_t> bytes;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0) bytes.reserve(static_cast<size_t>(size.QuadPart));
    uint8_t buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr)) ThrowForError(GetLastError(), path);
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

void WriteAllBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    UniqueHandle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        ThrowForError(GetLastError(), path);
    }
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        DWORD n = 0;
        if (!WriteFile(file.get(), bytes.data() + done, chunk, &n, nullptr)) ThrowForError(GetLastError(), path);
        done += n;
    }
}

std::vector<std::string> ListFileNames(const std::string& directory) {
    std::string pattern = directory;
    if (pattern.empty() || !IsSeparator(pattern.back())) pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileExW(Wide(pattern).c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    std::vector<std::string> names;
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return names;  // an empty drive root
        ThrowForError(error, directory);
    }
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(Narrow(entry.cFileName));
    } while (FindNextFileW(find, &entry));
    DWORD error = GetLastError();
    FindClose(find);
    if (error != ERROR_NO_MORE_FILES) ThrowForError(error, directory);
    return names;
}

int64_t LastWriteTimeUtc(const std::string& path) noexcept {
    try {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
        return static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                    data.ftLastWriteTime.dwLowDateTime);
    } catch (...) {
        return 0;
    }
}

int64_t CurrentTimeUtc() noexcept {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

}  // namespace velk::files
