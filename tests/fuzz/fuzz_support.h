// Shared by the fuzz targets: a check that stops the run on a broken promise, and a
// private folder for the files a target writes.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

// A failed check aborts, which libFuzzer reports as a crash and saves the input.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace fuzz {

// A fresh folder of this process's own under $TMPDIR (or /tmp), removed at exit.
const std::string& PrivateFolder();

// Replaces the file's content with the bytes; false when it cannot be written.
bool WriteWholeFile(const std::string& path, const void* data, std::size_t size);

// The file's content; empty when it cannot be read. `exists` tells which.
std::string ReadWholeFile(const std::string& path, bool* exists = nullptr);

}  // namespace fuzz
