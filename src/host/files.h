// The few file-system operations the program needs, with the error kinds the
// rest of the code expects (FileNotFoundException, DirectoryNotFoundException,
// UnauthorizedAccessException, IOException). One implementation per platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velk::files {

// The platform's path separator ('/' on Linux, '\\' on Windows).
char Separator();
// True when the character separates path segments on this platform.
bool IsSeparator(char c);
// True for an absolute path.
bool IsRooted(const std::string& path);
// The parent of a full directory path: the directory part once one trailing separator
// is removed; a root ("/", a drive root "C:\\") keeps its separator and has no parent.
std::optional<std::string> ParentDirectory(const std::string& directory);

// Full path of the directory holding the running executable, with a trailing separator.
std::string ExecutableDirectory();
// The path made absolute against the current directory, "." and ".." resolved,
// separators normalised. Raises ArgumentException for an empty or blank path.
std::string FullPath(const std::string& path);

bool IsRegularFile(const std::string& path) noexcept;
bool IsDirectory(const std::string& path) noexcept;

std::vector<uint8_t> ReadAllBytes(const std::string& path);
void WriteAllBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// Names (not paths) of the entries of a directory that are files, in the order the
// file system reports them; hidden files included.
std::vector<std::string> ListFileNames(const std::string& directory);

// Last write time in UTC as 100-nanosecond units since 1601-01-01; 0 for a path
// that does not exist.
int64_t LastWriteTimeUtc(const std::string& path) noexcept;
// The current wall-clock time in the same units, to tell how long ago a file was
// last written.
int64_t CurrentTimeUtc() noexcept;

}  // namespace velk::files
