// The values of the settings file, read once per process.
#pragma once

#include <cstddef>
#include <cstdint>

struct SettingsRecord {
    std::int32_t UseLog;               // nonzero: log file; 0: debugger output
    std::int32_t AppendToExistingLog;  // 0: the log file is emptied at start
    char* ServiceName;                 // owned texts below: null when memory ran out
    char* LogFileName;
    char* CommandFile;
    char* LaunchFolder;
    char* QuitCommand;
    char* StartHint;
    std::int32_t ServerStartupTimeoutInSeconds;
    std::int32_t StopWhenServerEnds;          // nonzero: a server that ends stops the service
    std::int32_t ServerStopTimeoutInSeconds;  // 0: stopped as soon as the quit command is
                                              // written; N: wait up to N s for the server
    std::int32_t LogOutputAfterStart;         // nonzero: the output after the hint is logged
                                              // too; 0: it is read and dropped
    std::int32_t LogFileMaxSizeInKilobytes;   // N > 0: the log is rotated before it grows
                                              // past N KiB; 0 or less: no limit
    std::int32_t LogFilesKept;                // rotated files kept (LOG.1 ... LOG.N), 1 or more
    char* ControlCommands[128];               // Control128 ... Control255: the command for
                                              // that control code; null when none is set
    char* ConsolePath;                        // the console endpoint's address; null: none
};

// The most rotated log files kept; a larger LogFilesKept counts as this.
constexpr std::int32_t kMostLogFilesKept = 999;

// Process-wide; written only by LoadSettings, before any other thread reads it.
extern SettingsRecord Settings;

// Finds the settings file from the process's command line, fills Settings, empties
// the log file when so configured and writes the four start-up messages.
void LoadSettings();

// Reads one text setting into an owned heap copy; null (after "Error - Out of memory")
// when no memory is to be had.
char* ReadSettingText(const char* key, const char* defaultText, const char* settingsPath);

// The settings-file path that a command line names: the text after the "-" that
// follows the program's own path, without the quotation marks an admin put around it;
// otherwise currentDirectory + separator + "Tallowmere.ini". Always terminated within
// pathSize bytes.
void FindSettingsPath(const char* commandLine, const char* currentDirectory, char* path,
                      std::size_t pathSize);

// What a user of ServiceName, CommandFile or QuitCommand reads: the setting, or an
// empty text when it holds none (memory ran out), so that no user follows a null
// pointer. What follows for each: ServiceName registers under the empty name, as by
// default; an empty CommandFile cannot be opened, so the launch fails as with a missing
// command file; an empty QuitCommand writes nothing and the stop is reported as usual.
// Two exceptions: a StartHint without text is never found (an empty one would count at
// the first output and report a start nobody saw), so the start ends by the timeout;
// a LaunchFolder without text is handed over as no folder (null), and the server
// starts in the service's own folder.
inline const char* SettingText(const char* text) { return text != nullptr ? text : ""; }
