#include "support/support.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace support {

namespace {

std::atomic<unsigned> folderCounter{0};

unsigned long ProcessId() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

}  // namespace

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif
const std::uint32_t kErrorProgramNotFound = 2;
const std::uint32_t kErrorNotExecutable = kWindows ? 193 : 13;
const std::uint32_t kErrorFolderNotFound = kWindows ? 267 : 2;
constexpr char kSeparator = kWindows ? '\\' : '/';
constexpr const char* kExeSuffix = kWindows ? ".exe" : "";

std::string ProgramFolder() {
#ifdef _WIN32
    char path[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string program(path, length);
#else
    std::error_code error;
    std::string program = std::filesystem::read_symlink("/proc/self/exe", error).string();
#endif
    std::size_t cut = program.find_last_of("/\\");
    return cut == std::string::npos ? std::string(".") : program.substr(0, cut);
}

std::string SampleServerPath() {
    return Join(ProgramFolder(), std::string("sample-server") + kExeSuffix);
}

std::string QuoteForCommandLine(const std::string& path) {
    if (path.find_first_of(" \t") == std::string::npos) return path;
    return "\"" + path + "\"";
}

std::string Join(const std::string& folder, const std::string& name) {
    if (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) return folder + name;
    return folder + kSeparator + name;
}

std::string MakeFreshFolder(const std::string& tag) {
    std::filesystem::path base = std::filesystem::temp_directory_path();
    std::ostringstream name;
    name << "tallowmere-" << tag << "-" << ProcessId() << "-" << folderCounter++;
    std::filesystem::path folder = base / name.str();
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    std::filesystem::create_directories(folder);
    return folder.string();
}

TempFolder::TempFolder(const std::string& tag) : path(MakeFreshFolder(tag)) {}

TempFolder::~TempFolder() {
    // A server that a failed test left running may still hold a file open (Windows
    // refuses to delete it then); what cannot go now stays for the system's cleaner.
    std::error_code error;
    std::filesystem::remove_all(path, error);
}

std::string ReadWholeFile(const std::string& path, bool* found) {
    std::ifstream in(path, std::ios::binary);
    if (found) *found = static_cast<bool>(in);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

double TimeoutMultiplier() {
    const char* text = std::getenv("TALLOWMERE_TIMEOUT_MULTIPLIER");
    if (text != nullptr && std::atof(text) > 0) return std::atof(text);
#ifdef _WIN32
    return 3;
#else
    return 1;
#endif
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long long>(
                        static_cast<double>(bound.count()) * TimeoutMultiplier()));
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string FloodPattern(std::uint64_t bytes) {
    std::string out;
    out.reserve(static_cast<std::size_t>(bytes) + 64);
    for (std::uint64_t line = 0; out.size() < bytes; ++line) {
        char head[32];
        std::snprintf(head, sizeof head, "flood %08llu ", static_cast<unsigned long long>(line));
        out += head;
        for (std::uint64_t k = 0; k < 48; ++k) out += static_cast<char>('a' + (line + k) % 26);
        out += '\n';
    }
    out.resize(static_cast<std::size_t>(bytes));
    return out;
}

std::string MissingProgramPath() {
#ifdef _WIN32
    return "C:\\tallowmere-no-such-folder\\no-such-program.exe";
#else
    return "/tallowmere-no-such-folder/no-such-program";
#endif
}

}  // namespace support
