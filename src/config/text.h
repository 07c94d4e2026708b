// Bounded text building, shared by the log writer and the settings path.
#pragma once

#include <cstddef>

// Appends text at out[used], cut to leave room for the terminator within `size` bytes;
// returns the new length. out stays terminated.
inline std::size_t AppendCut(char* out, std::size_t used, std::size_t size, const char* text) {
    while (*text != '\0' && used + 1 < size) out[used++] = *text++;
    out[used] = '\0';
    return used;
}
