// Reads the settings file once per process into Settings and prepares the log.
#include "config/settings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "config/log.h"
#include "config/log_file.h"
#include "config/settings_for_tests.h"
#include "platform/platform.h"

SettingsRecord Settings;

namespace {

constexpr char kSection[] = "Tallowmere";
constexpr std::size_t kSettingsPathSize = 520;         // terminator included
constexpr platform::DWORD kCurrentDirectorySize = 260;  // terminator included
constexpr platform::DWORD kValueReadSize = 4095;        // 4094 characters and the terminator

// Fills `directory` with the current folder, or leaves it empty when the folder cannot be
// read or does not fit: GetCurrentDirectoryA then returns 0 or the size it would need.
void ReadCurrentDirectory(char (&directory)[kCurrentDirectorySize]) {
    directory[0] = '\0';
    const platform::DWORD length =
        platform::GetCurrentDirectoryA(kCurrentDirectorySize, directory);
    if (length == 0 || length >= kCurrentDirectorySize) directory[0] = '\0';
}

std::int32_t ReadSettingInt(const char* key, std::int32_t defaultValue, const char* path) {
    // The reader hands back the 32 bits of a signed value, so a negative setting stays
    // negative once cast back.
    return static_cast<std::int32_t>(
        platform::GetPrivateProfileIntA(kSection, key, defaultValue, path));
}

void FreeText(char*& text) {
    if (text != nullptr) platform::Free(text);
    text = nullptr;
}

}  // namespace

namespace {

// Reads one text setting into `value`, at most 4094 characters and always terminated.
void ReadValue(const char* key, const char* defaultText, const char* settingsPath,
               char (&value)[kValueReadSize + 1]) {
    value[0] = '\0';
    platform::GetPrivateProfileStringA(kSection, key, defaultText, value, kValueReadSize,
                                       settingsPath);
    value[kValueReadSize] = '\0';  // the reader fills at most 4095 bytes, terminator included
}

// An owned copy of `value`; null (after "Error - Out of memory") without memory.
char* CopyValue(const char* value) {
    const std::size_t length = std::strlen(value);
    char* copy = static_cast<char*>(platform::Allocate(length + 1));
    if (copy == nullptr) {
        LogText("Error - Out of memory");
        return nullptr;
    }
    std::memcpy(copy, value, length + 1);
    return copy;
}

// A text setting without a default: null when it is missing or empty (or memory ran out),
// otherwise an owned copy.
char* ReadOptionalSettingText(const char* key, const char* settingsPath) {
    char value[kValueReadSize + 1];
    ReadValue(key, "", settingsPath, value);
    return value[0] == '\0' ? nullptr : CopyValue(value);
}

}  // namespace

char* ReadSettingText(const char* key, const char* defaultText, const char* settingsPath) {
    char value[kValueReadSize + 1];
    ReadValue(key, defaultText, settingsPath, value);
    return CopyValue(value);
}

void LoadSettings() {
    char directory[kCurrentDirectorySize];
    ReadCurrentDirectory(directory);
    char path[kSettingsPathSize];
    FindSettingsPath(platform::GetCommandLineA(), directory, path, sizeof path);

    Settings.UseLog = ReadSettingInt("UseLog", 1, path);
    Settings.AppendToExistingLog = ReadSettingInt("AppendToExistingLog", 1, path);
    Settings.ServerStartupTimeoutInSeconds =
        ReadSettingInt("ServerStartupTimeoutInSeconds", 300, path);
    Settings.StopWhenServerEnds = ReadSettingInt("StopWhenServerEnds", 1, path);
    Settings.ServerStopTimeoutInSeconds = ReadSettingInt("ServerStopTimeoutInSeconds", 0, path);
    Settings.LogOutputAfterStart = ReadSettingInt("LogOutputAfterStart", 0, path);
    Settings.LogFileMaxSizeInKilobytes = ReadSettingInt("LogFileMaxSizeInKilobytes", 0, path);
    Settings.LogFilesKept = ReadSettingInt("LogFilesKept", 5, path);
    // Each rotation walks every kept name once: a number beyond any need would make every
    // rotation a long walk.
    Settings.LogFilesKept = std::clamp(Settings.LogFilesKept, 1, kMostLogFilesKept);

    // Each text is stored as soon as it is read: an out-of-memory message for a later one
    // goes to the log file named by an earlier one.
    Settings.ServiceName = ReadSettingText("ServiceName", "", path);
    Settings.LogFileName = ReadSettingText("LogFileName", "Tallowmere.log", path);
    Settings.CommandFile = ReadSettingText("CommandFile", "quorinsv.bat", path);
    Settings.LaunchFolder = ReadSettingText("LaunchFolder", "", path);
    Settings.QuitCommand = ReadSettingText("QuitCommand", "quit\r\n", path);
    Settings.StartHint = ReadSettingText("StartHint", "STARTED", path);

    // Only a code that has a command costs memory: most have none.
    for (std::size_t i = 0; i < std::size(Settings.ControlCommands); ++i) {
        char key[16];
        (void)std::snprintf(key, sizeof key, "Control%d", static_cast<int>(128 + i));
        Settings.ControlCommands[i] = ReadOptionalSettingText(key, path);
    }
    Settings.ConsolePath = ReadOptionalSettingText("ConsolePath", path);

    if (Settings.LogFileName == nullptr) Settings.UseLog = 0;
    if (Settings.AppendToExistingLog == 0 && Settings.UseLog != 0) {
        EmptyLogFile(Settings.LogFileName);
    }

    LogFormatted("Using INI file: %s\n", path);
    LogFormatted("Writing to log file %s\n", Settings.LogFileName);
    LogFormatted("Launching file %s\n", Settings.CommandFile);
    LogFormatted("Home folder %s\n", Settings.LaunchFolder);
}

void ResetSettingsForTest() {
    ResetLogFileForTest();
    FreeText(Settings.ServiceName);
    FreeText(Settings.LogFileName);
    FreeText(Settings.CommandFile);
    FreeText(Settings.LaunchFolder);
    FreeText(Settings.QuitCommand);
    FreeText(Settings.StartHint);
    for (char*& command : Settings.ControlCommands) FreeText(command);
    FreeText(Settings.ConsolePath);
    Settings = SettingsRecord{};
}
