// Command-line helpers shared by both builds; no operating-system calls, so the
// Linux tests exercise what Windows uses too.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Joins program arguments into one command line as Windows shows it: single blanks
// between items; an item that holds a blank or a tab and no quotation mark is enclosed
// in double quotation marks.
std::string JoinArguments(int argc, const char* const* argv);

// Splits a server command line into a program and its arguments (POSIX process
// creation): blanks and tabs separate; double and single quotation marks group (the
// marks themselves are removed); a backslash is an ordinary character; no variable or
// wildcard expansion. Inside one kind of mark the other is plain text; quoted and plain
// parts that touch form one item (a"b c"d is ab cd), and "" alone is an empty item. Only
// blanks and tabs separate: any other character, a carriage return included, belongs to
// an item. Returns false for a command line with no item at all or with an unclosed
// quotation mark.
bool SplitCommandLine(const char* commandLine, std::vector<std::string>& items);

}  // namespace platform
