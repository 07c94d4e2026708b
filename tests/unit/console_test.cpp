// The console endpoint's sessions on the fake platform: what a client may send, and what
// it is told. The client program and the real endpoints are the scenario rows' part.
#include <gtest/gtest.h>

#include <string>

#include "config/settings.h"
#include "console/endpoint.h"
#include "service_test_support.h"
#include "state/kept_output.h"
#include "supervision/launch.h"
#include "support/support.h"

namespace {

using service_test::ServiceTest;
using service_test::SetText;

platform::HANDLE const kInputPipe = reinterpret_cast<platform::HANDLE>(4);
constexpr char kAddress[] = "fake-console";

class ConsoleTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        ResetKeptOutputForTest();
        PrepareStatus();
        fake::SetThreadMode(fake::ThreadMode::RunUntilIdle);
        SetText(Settings.ConsolePath, kAddress);
        fake::PushRead("STARTED\n");
        ASSERT_EQ(LaunchServer(), 0u);
        // The console's threads wait for their clients: none of them is ever idle.
        fake::SetThreadMode(fake::ThreadMode::Run);
        OpenConsole();
    }

    // A session still running at the reset would be torn down in a wait, never freed.
    void TearDown() override {
        EXPECT_TRUE(support::WaitFor([] { return ConsoleClientsNow() == 0; }));
        ServiceTest::TearDown();
    }

    // Sends `bytes` as a new client and gives the service's first answer line.
    static std::string Ask(const std::string& bytes, platform::DWORD bound = 10000) {
        const platform::HANDLE client = platform::ConnectConsoleEndpoint(kAddress);
        EXPECT_NE(client, platform::kInvalidHandleValue);
        // A client refused at once may find the service's side closed before it writes.
        (void)platform::WriteConnection(client, bytes.data(),
                                        static_cast<platform::DWORD>(bytes.size()), bound);
        const std::string answer = ReadLine(client, bound);
        platform::CloseHandle(client);
        return answer;
    }

    static std::string ReadLine(platform::HANDLE client, platform::DWORD bound) {
        std::string answer;
        char byte = 0;
        platform::DWORD got = 0;
        while (answer.find('\n') == std::string::npos &&
               platform::ReadConnection(client, &byte, 1, &got, bound) != 0) {
            answer += byte;
        }
        return answer;
    }
};

// Each bad request gets its refusal, and none of them reaches the server.
TEST_F(ConsoleTest, BadRequestsAreRefusedAndReachNothing) {
    EXPECT_EQ(Ask(std::string(4097, 'a') + "\n"), "refused the line is longer than 4096 bytes\n");
    EXPECT_EQ(Ask("send " + std::string(5000, 'a')), "refused the line is longer than 4096 bytes\n");
    EXPECT_EQ(Ask(std::string("send op\0me\n", 11)), "refused the line holds a zero byte\n");
    EXPECT_EQ(Ask("send op\rme\n"), "refused the line holds a CR\n");
    EXPECT_EQ(Ask("hello\n"), "refused unknown request\n");
    EXPECT_EQ(Ask("send \n"), "refused the command is empty or longer than 4094 bytes\n");
    EXPECT_EQ(fake::Written(kInputPipe), "");
    // A CR right before the LF is a line end, as Windows clients send it; a line of 4096
    // bytes is taken.
    EXPECT_EQ(Ask("send say hi\r\n"), "ok\n");
    const std::string longest(4091, 'a');
    EXPECT_EQ(Ask("send " + longest + "\n"), "ok\n");
    EXPECT_TRUE(support::WaitFor(
        [&] { return fake::Written(kInputPipe) == "say hi\r\n" + longest + "\r\n"; }));
    EXPECT_NE(Log().find("Command from console fake: say hi\n"), std::string::npos) << Log();
}

// A client that says nothing is dropped after a while, and holds up nobody meanwhile.
TEST_F(ConsoleTest, AClientThatSaysNothingIsDroppedAndHoldsUpNobody) {
    const platform::HANDLE silent = platform::ConnectConsoleEndpoint(kAddress);
    ASSERT_NE(silent, platform::kInvalidHandleValue);
    EXPECT_EQ(Ask("status\n").rfind("status running ", 0), 0u);
    EXPECT_EQ(ReadLine(silent, kRequestMilliseconds + 10000), "refused no request within 10 s\n");
    platform::CloseHandle(silent);
}

// More clients than the limit at once: the one over it is told so; the others are served.
TEST_F(ConsoleTest, MoreClientsThanTheLimitAreRefused) {
    platform::HANDLE held[kMostConsoleClients];
    for (platform::HANDLE& client : held) {
        client = platform::ConnectConsoleEndpoint(kAddress);
        ASSERT_NE(client, platform::kInvalidHandleValue);
    }
    EXPECT_EQ(Ask("status\n"), "refused too many clients\n");
    platform::CloseHandle(held[0]);
    EXPECT_TRUE(support::WaitFor(
        [] { return Ask("status\n", 2000).rfind("status running ", 0) == 0; }));
    for (platform::HANDLE client : held) platform::CloseHandle(client);
}

// An attached client gets what the server printed before it came; its lines are commands.
TEST_F(ConsoleTest, AnAttachGetsTheKeptOutputAndItsLinesAreCommands) {
    KeepOutput("loading\n", 8);
    const platform::HANDLE client = platform::ConnectConsoleEndpoint(kAddress);
    ASSERT_TRUE(platform::WriteConnection(client, "attach\n", 7, 10000));
    EXPECT_EQ(ReadLine(client, 10000), "ok\n");
    std::string seen;
    char buffer[4096];
    platform::DWORD got = 0;
    while (seen.size() < 16 && platform::ReadConnection(client, buffer, sizeof buffer, &got, 10000)) {
        seen.append(buffer, got);
    }
    EXPECT_EQ(seen, "STARTED\nloading\n");
    ASSERT_TRUE(platform::WriteConnection(client, "say hi\n", 7, 10000));
    EXPECT_TRUE(support::WaitFor([] { return fake::Written(kInputPipe) == "say hi\r\n"; }));
    // The end of the client detaches it: both of its session's threads end.
    platform::CloseHandle(client);
    EXPECT_TRUE(support::WaitFor([] { return ConsoleClientsNow() == 0; }));
}

// The output reader never waits for an attached client: what its share cannot hold is
// dropped and counted, the kept output keeps the newest bytes.
TEST_F(ConsoleTest, AShareThatIsNotTakenDropsTheExcessAndCountsIt) {
    ResetKeptOutputForTest();
    const platform::HANDLE event = platform::CreateEventA(nullptr, 0, 0, nullptr);
    const int slot = AttachOutput(event);
    ASSERT_GE(slot, 0);
    const std::string chunk(4096, 'x');
    const std::size_t chunks = kAttachedShareBytes / chunk.size() + 3;
    for (std::size_t i = 0; i < chunks; ++i) KeepOutput(chunk.data(), chunk.size());
    KeepOutput("last\n", 5);
    static char taken[kAttachedShareBytes];
    std::size_t dropped = 0;
    EXPECT_EQ(TakeAttachedOutput(slot, taken, sizeof taken, dropped), kAttachedShareBytes);
    EXPECT_EQ(dropped, chunks * chunk.size() + 5 - kAttachedShareBytes);
    // Room again: what comes now is taken whole.
    KeepOutput("next\n", 5);
    EXPECT_EQ(TakeAttachedOutput(slot, taken, sizeof taken, dropped), 5u);
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(std::string(taken, 5), "next\n");
    DetachOutput(slot);
    // A new attach starts with the last kKeptOutputBytes, the newest last.
    const int again = AttachOutput(event);
    ASSERT_GE(again, 0);
    EXPECT_EQ(TakeAttachedOutput(again, taken, sizeof taken, dropped), kKeptOutputBytes);
    EXPECT_EQ(std::string(taken + kKeptOutputBytes - 10, 10), "last\nnext\n");
    DetachOutput(again);
    platform::CloseHandle(event);
}

}  // namespace
