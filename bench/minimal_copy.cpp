// tm-bench-minimal-copy LOG: the least work the log design asks for each piece of a
// server's output, as a reference for the wrapper's copying: read up to 4,096 bytes
// from standard input, open LOG for appending, write the piece with CR LF for each LF
// in one write, close. It ends at the end of its input.
//
// tm-bench-minimal-copy --discard: read up to 4,096 bytes at a time and drop them (the
// reference for draining a server's output after its hint).

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const bool discard = std::strcmp(argv[1], "--discard") == 0;
    char piece[4096];
    char out[2 * sizeof piece];
    for (;;) {
        ssize_t size = read(0, piece, sizeof piece);
        if (size < 0 && errno == EINTR) continue;
        if (size <= 0) return 0;
        if (discard) continue;
        std::size_t used = 0;
        for (ssize_t i = 0; i < size; ++i) {
            if (piece[i] == '\n') out[used++] = '\r';
            out[used++] = piece[i];
        }
        int log = open(argv[1], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log < 0) return 1;
        if (write(log, out, used) != static_cast<ssize_t>(used)) return 1;
        close(log);
    }
}
