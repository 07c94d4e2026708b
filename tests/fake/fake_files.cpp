// The fake platform's files: real files through the standard library.
#include "fake/fake_files.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <system_error>

#include "fake/fake_platform.h"

namespace {

using platform::BOOL;
using platform::DWORD;
using platform::HANDLE;

constexpr std::uintptr_t kFileBase = 0x30000;
constexpr DWORD kErrorAccessDenied = 5;

struct OpenFile {
    std::FILE* stream;  // null for a path that is no regular file
    DWORD type;
    // cppcheck-suppress unusedStructMember ; read through the map's iterator
    std::string path;
};

struct FilesRecord {
    std::map<std::uintptr_t, OpenFile> open;
    std::uintptr_t next = kFileBase + 1;
};

std::mutex FilesLock;  // the log writer's lock keeps ours short, but tests log from threads
FilesRecord Files;

std::uintptr_t Id(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

}  // namespace

namespace fake {

void ResetFiles() {
    std::lock_guard hold(FilesLock);
    for (auto& [id, file] : Files.open) {
        if (file.stream != nullptr) std::fclose(file.stream);
    }
    Files = FilesRecord{};
}

int OpenFiles() {
    std::lock_guard hold(FilesLock);
    return static_cast<int>(Files.open.size());
}

bool IsFileHandle(HANDLE handle) {
    std::lock_guard hold(FilesLock);
    return Files.open.count(Id(handle)) != 0;
}

BOOL WriteFileHandle(HANDLE file, const void* buffer, DWORD size, DWORD* bytesWritten) {
    std::lock_guard hold(FilesLock);
    if (bytesWritten != nullptr) *bytesWritten = 0;
    const auto found = Files.open.find(Id(file));
    if (found == Files.open.end() || found->second.stream == nullptr) {
        platform::SetLastError(platform::kErrorInvalidHandle);
        return 0;
    }
    if (ShouldFail(Op::FileWrite)) return 0;
    std::FILE* stream = found->second.stream;
    const std::size_t done = std::fwrite(buffer, 1, size, stream);
    if (std::fflush(stream) != 0 || done != size) {
        platform::SetLastError(kErrorAccessDenied);
        return 0;
    }
    if (bytesWritten != nullptr) *bytesWritten = size;
    return 1;
}

BOOL CloseFileHandle(HANDLE file) {
    std::lock_guard hold(FilesLock);
    const auto found = Files.open.find(Id(file));
    if (found == Files.open.end()) {
        platform::SetLastError(platform::kErrorInvalidHandle);
        return 0;
    }
    if (found->second.stream != nullptr) std::fclose(found->second.stream);
    Files.open.erase(found);
    return 1;
}

}  // namespace fake

namespace platform {

HANDLE CreateFileA(const char* fileName, DWORD /*access*/, DWORD /*shareMode*/,
                   const SECURITY_ATTRIBUTES* /*attributes*/, DWORD creationDisposition,
                   DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
    std::lock_guard hold(FilesLock);
    if (fake::ShouldFail(fake::Op::CreateFileA)) return kInvalidHandleValue;
    if (fileName == nullptr || fileName[0] == '\0') {
        SetLastError(2);  // ERROR_FILE_NOT_FOUND
        return kInvalidHandleValue;
    }
    std::error_code error;
    const auto status = std::filesystem::status(fileName, error);
    OpenFile file{nullptr, kFileTypeChar, fileName};
#ifdef _WIN32
    // Windows's device names name no file in any folder.
    if (_stricmp(fileName, "NUL") == 0 || _stricmp(fileName, "CON") == 0) {
        const std::uintptr_t id = Files.next++;
        Files.open.emplace(id, file);
        return reinterpret_cast<HANDLE>(id);  // NOLINT(performance-no-int-to-ptr)
    }
#endif
    if (std::filesystem::is_directory(status)) {
        SetLastError(kErrorAccessDenied);
        return kInvalidHandleValue;
    }
    if (!std::filesystem::exists(status) || std::filesystem::is_regular_file(status)) {
        const bool empty = creationDisposition == kCreateAlways;
        file.stream = std::fopen(fileName, empty ? "wb" : "ab");
        if (file.stream == nullptr) {
            SetLastError(kErrorAccessDenied);
            return kInvalidHandleValue;
        }
        file.type = kFileTypeDisk;
    }
    const std::uintptr_t id = Files.next++;
    Files.open.emplace(id, file);
    return reinterpret_cast<HANDLE>(id);  // NOLINT(performance-no-int-to-ptr)
}

BOOL GetFileSizeEx(HANDLE file, std::int64_t* size) {
    std::lock_guard hold(FilesLock);
    const auto found = Files.open.find(Id(file));
    if (found == Files.open.end() || found->second.stream == nullptr || size == nullptr) {
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    std::error_code error;
    const auto bytes = std::filesystem::file_size(found->second.path, error);
    if (error) {
        SetLastError(kErrorFileNotFound);
        return 0;
    }
    *size = static_cast<std::int64_t>(bytes);
    return 1;
}

// A missing file gives the system's "not found"; a folder is no file to remove.
BOOL DeleteFileA(const char* fileName) {
    std::lock_guard hold(FilesLock);
    if (fake::ShouldFail(fake::Op::DeleteFileA)) return 0;
    std::error_code error;
    const auto status = std::filesystem::symlink_status(fileName, error);
    if (!std::filesystem::exists(status)) {
        SetLastError(kErrorFileNotFound);
        return 0;
    }
    if (std::filesystem::is_directory(status) || !std::filesystem::remove(fileName, error)) {
        SetLastError(kErrorAccessDenied);
        return 0;
    }
    return 1;
}

BOOL MoveFileExA(const char* existingName, const char* newName, DWORD /*flags*/) {
    std::lock_guard hold(FilesLock);
    if (fake::ShouldFail(fake::Op::MoveFileExA)) return 0;
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(existingName, error))) {
        SetLastError(kErrorFileNotFound);
        return 0;
    }
    std::filesystem::rename(existingName, newName, error);
    if (error) {
        SetLastError(kErrorAccessDenied);
        return 0;
    }
    return 1;
}

DWORD GetFileType(HANDLE file) {
    std::lock_guard hold(FilesLock);
    const auto found = Files.open.find(Id(file));
    if (found == Files.open.end()) {
        SetLastError(kErrorInvalidHandle);
        return kFileTypeUnknown;
    }
    return found->second.type;
}

}  // namespace platform
