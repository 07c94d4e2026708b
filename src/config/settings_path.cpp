// Where the settings file is: named on the command line after a "-", or in the current
// folder.
#include <cstring>

#include "config/settings.h"
#include "config/text.h"
#include "platform/platform.h"

namespace {

constexpr char kDefaultFileName[] = "Tallowmere.ini";

// The first character after the program's own path. A quoted program path ends at its
// closing quotation mark, so that a "-" or a blank in a folder name (C:\my-tools\...,
// C:\Program Files\...) is not taken for the start of an argument.
const char* SkipProgramPath(const char* line) {
    if (*line == '"') {
        const char* close = std::strchr(line + 1, '"');
        return close != nullptr ? close + 1 : line + std::strlen(line);
    }
    while (*line != '\0' && *line != ' ' && *line != '\t') ++line;
    return line;
}

// Copies what follows the "-" at `dash` into path, cut to fit; returns the length copied.
// The pair of quotation marks that an admin put around the argument is dropped, so that
// -"C:\My Configs\a.ini" and "-C:\My Configs\a.ini" both name C:\My Configs\a.ini: the
// opening one just before or just after the "-", the closing one the next after it.
// Everything else, blanks and further arguments included, is kept as it is.
std::size_t CopySettingsArgument(const char* argumentsStart, const char* dash, char* path,
                                 std::size_t pathSize) {
    const char* rest = dash + 1;
    bool dropClosingMark = false;
    if (*rest == '"') {
        ++rest;
        dropClosingMark = true;
    } else if (dash > argumentsStart && dash[-1] == '"') {
        dropClosingMark = true;
    }
    std::size_t length = 0;
    for (; *rest != '\0' && length + 1 < pathSize; ++rest) {
        if (dropClosingMark && *rest == '"') {
            dropClosingMark = false;
            continue;
        }
        path[length++] = *rest;
    }
    path[length] = '\0';
    return length;
}

}  // namespace

void FindSettingsPath(const char* commandLine, const char* currentDirectory, char* path,
                      std::size_t pathSize) {
    if (pathSize == 0) return;
    path[0] = '\0';
    if (commandLine == nullptr) commandLine = "";
    const char* arguments = SkipProgramPath(commandLine);
    const char* dash = std::strchr(arguments, '-');
    // An argument that is nothing but "-" (or "-" and its quotation marks) names no file.
    if (dash != nullptr && CopySettingsArgument(arguments, dash, path, pathSize) > 0) return;

    // A current folder that could not be read stands as ".", which still means the
    // current folder to the settings reader of both systems.
    if (currentDirectory == nullptr || *currentDirectory == '\0') currentDirectory = ".";
    std::size_t length = AppendCut(path, 0, pathSize, currentDirectory);
    const char separator[] = {platform::kPathSeparator, '\0'};
    length = AppendCut(path, length, pathSize, separator);
    AppendCut(path, length, pathSize, kDefaultFileName);
}
