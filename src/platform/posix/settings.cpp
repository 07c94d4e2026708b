// Process environment, settings file and debugger output on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/command_line.h"
#include "platform/ini_reader.h"
#include "platform/platform.h"
#include "platform/posix/common.h"

namespace platform {

namespace {

std::once_flag OwnCommandLineOnce;
std::string OwnCommandLine;

// The kernel's copy of our arguments: each one ends in a zero byte.
std::string ReadOwnCommandLine() {
    std::string raw;
    const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return raw;
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        raw.append(chunk, static_cast<std::size_t>(got));
    }
    close(fd);

    std::vector<std::string> items;
    std::size_t start = 0;
    while (start < raw.size()) {
        std::size_t end = raw.find('\0', start);
        if (end == std::string::npos) end = raw.size();
        items.push_back(raw.substr(start, end - start));
        start = end + 1;
    }
    std::vector<const char*> argv;
    argv.reserve(items.size());
    for (const std::string& item : items) argv.push_back(item.c_str());
    return JoinArguments(static_cast<int>(argv.size()), argv.data());
}

// What is read of a settings file at most: far more than any settings file needs, and
// little enough that an endless or huge "file" (/dev/zero, a log named by mistake) costs
// nothing. What lies beyond it is not read, as if the file ended there.
constexpr std::size_t kSettingsReadLimit = std::size_t{1024} * 1024;

// The file last read, and what tells it apart from a later version of the same path: the
// settings are read key by key, and the file is read once for all of them.
struct SettingsFileCopy {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    timespec changed{};
    std::string data;
};
std::mutex SettingsFileLock;  // guards LastSettingsFile
SettingsFileCopy LastSettingsFile;

bool SameVersion(const SettingsFileCopy& copy, const char* path, const struct stat& info) {
    return copy.path == path && copy.device == info.st_dev && copy.inode == info.st_ino &&
           copy.size == info.st_size && copy.modified.tv_sec == info.st_mtim.tv_sec &&
           copy.modified.tv_nsec == info.st_mtim.tv_nsec &&
           copy.changed.tv_sec == info.st_ctim.tv_sec &&
           copy.changed.tv_nsec == info.st_ctim.tv_nsec;
}

// Makes LastSettingsFile hold the file's first kSettingsReadLimit bytes, or returns false
// with errno set. The caller holds SettingsFileLock. Only a regular file
// is a settings file: anything else (a FIFO, which would block the read, a device, a
// folder) is a missing one. The open never waits, and never takes a terminal.
bool ReadSettingsFileLocked(const char* path) {
    struct stat info {};
    if (stat(path, &info) != 0) return false;
    if (!S_ISREG(info.st_mode)) {
        errno = ENOENT;
        return false;
    }
    if (SameVersion(LastSettingsFile, path, info)) return true;
    const int fd = posix::RetryOnInterrupt(
        [&] { return open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); });
    if (fd < 0) return false;
    // The path may name another file by now: what counts is the one opened.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        errno = ENOENT;
        return false;
    }
    std::string data;
    char chunk[8192];
    while (data.size() < kSettingsReadLimit) {
        const std::size_t want = std::min(sizeof chunk, kSettingsReadLimit - data.size());
        const ssize_t got = posix::RetryOnInterrupt([&] { return read(fd, chunk, want); });
        if (got < 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        if (got == 0) break;
        data.append(chunk, static_cast<std::size_t>(got));
    }
    close(fd);
    LastSettingsFile = SettingsFileCopy{path,         info.st_dev,  info.st_ino,    info.st_size,
                                        info.st_mtim, info.st_ctim, std::move(data)};
    return true;
}

// Looks the key up; false (last error set when the file could not be read) when the
// default applies. A name without a folder is simply relative to the current folder
// here, where Windows would look in its own folder.
bool FindProfileValue(const char* section, const char* key, const char* fileName,
                      std::string& value) {
    if (fileName == nullptr || fileName[0] == '\0') {
        SetLastError(ENOENT);
        return false;
    }
    std::lock_guard<std::mutex> hold(SettingsFileLock);
    if (!ReadSettingsFileLocked(fileName)) {
        SetLastError(static_cast<DWORD>(errno));
        return false;
    }
    const std::string& data = LastSettingsFile.data;
    return IniFindValue(data.data(), data.size(), section, key, value);
}

// The default as Windows hands it back: trailing blanks (not tabs) cut, but never its
// first character.
std::string TrimmedDefault(const char* defaultText) {
    std::string text = defaultText != nullptr ? defaultText : "";
    while (text.size() > 1 && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

const char* GetCommandLineA() {
    std::call_once(OwnCommandLineOnce, [] { OwnCommandLine = ReadOwnCommandLine(); });
    return OwnCommandLine.c_str();
}

DWORD GetCurrentDirectoryA(DWORD bufferSize, char* buffer) {
    char* folder = getcwd(nullptr, 0);
    if (folder == nullptr) {
        SetLastError(static_cast<DWORD>(errno));
        return 0;
    }
    const std::size_t length = std::strlen(folder);
    DWORD result = 0;
    if (length >= 0xFFFFFFFFu) {
        SetLastError(ENAMETOOLONG);
    } else if (buffer != nullptr && length < bufferSize) {
        std::memcpy(buffer, folder, length + 1);
        result = static_cast<DWORD>(length);
    } else {
        result = static_cast<DWORD>(length + 1);
    }
    std::free(folder);
    return result;
}

DWORD GetPrivateProfileIntA(const char* section, const char* key, std::int32_t defaultValue,
                            const char* fileName) {
    std::string value;
    std::uint32_t number = 0;
    if (!FindProfileValue(section, key, fileName, value) || !IniParseInt(value, number)) {
        return static_cast<DWORD>(defaultValue);
    }
    return number;
}

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultText,
                               char* buffer, DWORD bufferSize, const char* fileName) {
    if (buffer == nullptr || bufferSize == 0) return 0;
    std::string value;
    if (!FindProfileValue(section, key, fileName, value)) value = TrimmedDefault(defaultText);
    // Cut to what fits with the terminator; a zero byte in the text ends it.
    std::size_t length = std::strlen(value.c_str());
    if (length > bufferSize - 1) length = bufferSize - 1;
    std::memcpy(buffer, value.data(), length);
    buffer[length] = '\0';
    return static_cast<DWORD>(length);
}

void OutputDebugStringA(const char* text) {
    if (text == nullptr) return;
    posix::IgnoreBrokenPipes();
    // One write, so that a message is not interleaved with another writer's; a pipe or
    // terminal may still take it in parts.
    std::size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t written = write(STDERR_FILENO, text, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace platform
