// What the console endpoint and its client say to each other: lines that end in LF.
//
// The client's first line is its request: "send TEXT", "status" or "attach". The answer
// is one line: "ok", "status STATE PID" or "refused REASON". After "attach" and its
// "ok" the service sends the server's kept output, then its output as it comes; each
// line that the client sends then is a command for the server.
#pragma once

#include <cstddef>

// The longest line that either side takes, its LF not counted.
constexpr std::size_t kLongestConsoleLine = 4096;

// How a line of a client stands.
enum class LineCheck {
    kGood,
    kTooLong,    // over kLongestConsoleLine bytes
    kZeroByte,   // a zero byte inside
    kBareCr,     // a CR inside (a CR right before the LF is dropped first)
};

// Drops a CR right before the end, then checks the line.
LineCheck CheckLine(const char* line, std::size_t& length);

// The refusal for a line that is not good, as "refused REASON".
const char* LineRefusal(LineCheck check);

// Splits a buffer of received bytes at its first LF. Returns the line's length (without
// the LF) and sets `complete`; without a LF, returns what there is.
std::size_t LineIn(const char* bytes, std::size_t length, bool& complete);
