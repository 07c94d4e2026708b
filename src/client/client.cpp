// tallowmere-console: the client of a service's console endpoint.
#include "client/client.h"

#include <cstdio>
#include <cstring>

#include "console/protocol.h"
#include "platform/platform.h"

namespace {

constexpr int kDone = 0;
constexpr int kBadUse = 1;
constexpr int kNobodyAnswers = 2;
constexpr int kRefused = 3;
// The service answers at once; one that does not within this time counts as refusing.
constexpr platform::DWORD kAnswerMilliseconds = 15000;

constexpr char kUsage[] =
    "tallowmere-console: usage: tallowmere-console ADDRESS send TEXT... | status | attach "
    "(ADDRESS: the console's path, or - and the service's settings file)\n";

void Print(platform::DWORD which, const char* text, std::size_t length) {
    platform::DWORD written = 0;
    (void)platform::WriteFile(platform::GetStdHandle(which), text,
                              static_cast<platform::DWORD>(length), &written, nullptr);
}

int Fail(int code, const char* format, const char* detail) {
    char line[1200];
    const int length = std::snprintf(line, sizeof line, format, detail);
    Print(platform::kStdErrorHandle, line, static_cast<std::size_t>(length));
    return code;
}

// The endpoint's address from the command line's ADDRESS.
bool FindAddress(const char* given, char* address, std::size_t size) {
    if (given[0] != '-') {
        (void)std::snprintf(address, size, "%s", given);
        return true;
    }
    (void)platform::GetPrivateProfileStringA("Tallowmere", "ConsolePath", "", address,
                                             static_cast<platform::DWORD>(size), given + 1);
    return address[0] != '\0';
}

// The first line of the service's answer, without its LF, into `line`; what came after
// it stays in `rest`.
bool ReadAnswer(platform::HANDLE connection, char* line, std::size_t size, char* rest,
                std::size_t& restLength) {
    std::size_t length = 0;
    for (;;) {
        platform::DWORD got = 0;
        if (platform::ReadConnection(connection, line + length,
                                     static_cast<platform::DWORD>(size - 1 - length), &got,
                                     kAnswerMilliseconds) == 0) {
            return false;
        }
        length += got;
        bool complete = false;
        const std::size_t lineLength = LineIn(line, length, complete);
        if (complete) {
            restLength = length - lineLength - 1;
            std::memcpy(rest, line + lineLength + 1, restLength);
            line[lineLength] = '\0';
            return true;
        }
        if (length == size - 1) return false;
    }
}

// The client's input, line by line, to the service (`parameter`: the connection); its end
// detaches.
platform::DWORD TypeLines(void* parameter) {
    const platform::HANDLE connection = parameter;
    const platform::HANDLE input = platform::GetStdHandle(platform::kStdInputHandle);
    static char chunk[4096];
    for (;;) {
        platform::DWORD got = 0;
        if (input == nullptr || platform::ReadFile(input, chunk, sizeof chunk, &got, nullptr) == 0 ||
            got == 0) {
            break;
        }
        if (platform::WriteConnection(connection, chunk, got, platform::kInfinite) == 0) break;
    }
    platform::ExitProcess(kDone);
}

int Attach(platform::HANDLE connection, const char* rest, std::size_t restLength) {
    Print(platform::kStdOutputHandle, rest, restLength);
    if (platform::CreateThread(nullptr, 0, TypeLines, connection, 0, nullptr) == nullptr) {
        return Fail(kBadUse, "tallowmere-console: %s\n", "cannot read the input");
    }
    static char chunk[16 * 1024];
    for (;;) {
        platform::DWORD got = 0;
        if (platform::ReadConnection(connection, chunk, sizeof chunk, &got, platform::kInfinite) ==
            0) {
            return Fail(kDone, "tallowmere-console: %s\n", "the service has ended");
        }
        Print(platform::kStdOutputHandle, chunk, got);
    }
}

}  // namespace

int ConsoleClient(int argc, char** argv) {
    if (argc < 3) return Fail(kBadUse, "%s", kUsage);
    const char* verb = argv[2];
    char request[kLongestConsoleLine + 64];
    if (std::strcmp(verb, "send") == 0) {
        if (argc < 4) return Fail(kBadUse, "%s", kUsage);
        std::size_t length = static_cast<std::size_t>(std::snprintf(request, sizeof request, "send"));
        for (int i = 3; i < argc; ++i) {
            const std::size_t word = std::strlen(argv[i]);
            if (length + 1 + word > 5 + kLongestConsoleLine) {
                return Fail(kBadUse, "tallowmere-console: %s\n",
                            "the command is longer than 4096 bytes");
            }
            request[length++] = ' ';
            std::memcpy(request + length, argv[i], word);
            length += word;
        }
        request[length] = '\0';
        if (std::strchr(request, '\n') != nullptr || std::strchr(request, '\r') != nullptr) {
            return Fail(kBadUse, "tallowmere-console: %s\n", "the command holds a line end");
        }
    } else if (std::strcmp(verb, "status") == 0 || std::strcmp(verb, "attach") == 0) {
        if (argc != 3) return Fail(kBadUse, "%s", kUsage);
        (void)std::snprintf(request, sizeof request, "%s", verb);
    } else {
        return Fail(kBadUse, "%s", kUsage);
    }

    char address[1024];
    if (!FindAddress(argv[1], address, sizeof address)) {
        return Fail(kBadUse, "tallowmere-console: no ConsolePath in %s\n", argv[1] + 1);
    }
    const platform::HANDLE connection = platform::ConnectConsoleEndpoint(address);
    if (connection == platform::kInvalidHandleValue) {
        const platform::DWORD error = platform::GetLastError();
        char detail[1100];
        (void)std::snprintf(detail, sizeof detail, "%s (error %u)", address,
                            static_cast<unsigned>(error));
        if (error == platform::kErrorAccessDenied) {
            return Fail(kRefused, "tallowmere-console: not allowed to use the console at %s\n",
                        detail);
        }
        return Fail(kNobodyAnswers, "tallowmere-console: nothing answers at %s\n", detail);
    }
    const std::size_t requestLength = std::strlen(request);
    request[requestLength] = '\n';
    if (platform::WriteConnection(connection, request,
                                  static_cast<platform::DWORD>(requestLength + 1),
                                  kAnswerMilliseconds) == 0) {
        return Fail(kNobodyAnswers, "tallowmere-console: the service at %s did not listen\n",
                    address);
    }
    static char answer[kLongestConsoleLine + 64];
    static char rest[kLongestConsoleLine + 64];
    std::size_t restLength = 0;
    if (!ReadAnswer(connection, answer, sizeof answer, rest, restLength)) {
        return Fail(kRefused, "tallowmere-console: the service at %s gave no answer\n", address);
    }
    if (std::strncmp(answer, "refused ", 8) == 0) {
        return Fail(kRefused, "tallowmere-console: refused: %s\n", answer + 8);
    }
    if (std::strncmp(answer, "status ", 7) == 0) {
        Print(platform::kStdOutputHandle, answer + 7, std::strlen(answer + 7));
        Print(platform::kStdOutputHandle, "\n", 1);
        return std::strncmp(answer + 7, "running ", 8) == 0 ? kDone : kRefused;
    }
    if (std::strcmp(answer, "ok") != 0) {
        return Fail(kRefused, "tallowmere-console: an answer it does not know: %s\n", answer);
    }
    if (std::strcmp(verb, "attach") == 0) return Attach(connection, rest, restLength);
    return kDone;
}
