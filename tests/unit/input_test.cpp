// What goes into the server's input: the queue's refusals, its order, the quit command
// last, our end closed only outside a write. The control codes that use it are in
// control_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "service_test_support.h"
#include "state/input.h"
#include "state/server.h"

namespace {

using service_test::ServiceTest;
using service_test::SetText;

using Strings = std::vector<std::string>;

CommandAnswer Queue(const std::string& text) {
    return QueueCommand(text.data(), text.size(), "a test");
}

// Every item the writer would take now, as text; "<quit>" for the quit command.
Strings TakeAll() {
    Strings taken;
    std::lock_guard lock(ServiceLock);
    static InputItem item;
    platform::HANDLE end = nullptr;
    while (TakeInputLocked(item, end)) {
        taken.push_back(item.quit ? "<quit>" : std::string(item.bytes, item.length));
        InputWrittenLocked(item.quit);
    }
    return taken;
}

class InputTest : public ServiceTest {};

TEST_F(InputTest, ACommandThatWouldBeTwoOrNoneOrCutIsRefusedAndNothingIsQueued) {
    for (const std::string& bad : {std::string(), std::string("say\r\nop me"), std::string("a\nb"),
                                   std::string("a\rb"), std::string("a\0b", 3),
                                   std::string(kLongestCommand + 1, 'x')}) {
        EXPECT_EQ(Queue(bad), CommandAnswer::kBadCommand) << bad.size();
    }
    EXPECT_TRUE(TakeAll().empty());
    EXPECT_EQ(Queue(std::string(kLongestCommand, 'x')), CommandAnswer::kTaken);
}

TEST_F(InputTest, AFullQueueRefusesTheNextCommandAndTheQuitCommandComesLastAllTheSame) {
    for (std::size_t i = 0; i < kQueuedCommandsLimit; ++i) {
        EXPECT_EQ(Queue("say " + std::to_string(i)), CommandAnswer::kTaken);
    }
    EXPECT_EQ(Queue("one too many"), CommandAnswer::kNotReading);
    {
        std::lock_guard lock(ServiceLock);
        platform::DWORD error = 0;
        // Commands wait: the quit command goes after them, through the writer.
        EXPECT_FALSE(QueueQuitCommandLocked(&error));
        EXPECT_FALSE(QueueQuitCommandLocked(&error));  // a second stop queues nothing more
    }
    EXPECT_EQ(Queue("after the stop"), CommandAnswer::kStopping);
    const Strings taken = TakeAll();
    ASSERT_EQ(taken.size(), kQueuedCommandsLimit + 1);
    EXPECT_EQ(taken.front(), "say 0\r\n");
    EXPECT_EQ(taken[kQueuedCommandsLimit - 1], "say 15\r\n");
    EXPECT_EQ(taken.back(), "<quit>");
}

// The writer alone closes the end it writes into: a close asked for during its write
// waits for that write, so that the handle it uses is never closed (nor reused) under it.
TEST_F(InputTest, OurEndIsClosedOnlyOnceTheWriteInsideItHasReturned) {
    platform::HANDLE readEnd = nullptr;
    ASSERT_NE(platform::CreatePipe(&readEnd, &InputPipeWrite, nullptr, 0), 0);
    const platform::HANDLE end = InputPipeWrite;
    ASSERT_EQ(Queue("save-all"), CommandAnswer::kTaken);
    std::lock_guard lock(ServiceLock);
    static InputItem item;
    platform::HANDLE writing = nullptr;
    ASSERT_TRUE(TakeInputLocked(item, writing));
    EXPECT_EQ(writing, end);
    CloseServerInputLocked();
    EXPECT_TRUE(fake::IsOpen(end));
    InputWrittenLocked(false);
    EXPECT_FALSE(fake::IsOpen(end));
    EXPECT_EQ(InputPipeWrite, nullptr);
    platform::CloseHandle(readEnd);
}

// While no command was ever sent, the pipe carries nothing but the quit command, which
// cannot block: it is written by the stop itself, at once, and our end closed.
TEST_F(InputTest, WithoutCommandsTheQuitCommandIsWrittenAtOnceAndNothingIsLeftForTheWriter) {
    platform::HANDLE readEnd = nullptr;
    ASSERT_NE(platform::CreatePipe(&readEnd, &InputPipeWrite, nullptr, 0), 0);
    const platform::HANDLE end = InputPipeWrite;
    SetText(Settings.QuitCommand, "stop");
    {
        std::lock_guard lock(ServiceLock);
        platform::DWORD error = 99;
        EXPECT_TRUE(QueueQuitCommandLocked(&error));
        EXPECT_EQ(error, 0u);
    }
    EXPECT_EQ(fake::Written(end), "stop");
    EXPECT_FALSE(fake::IsOpen(end));
    EXPECT_TRUE(TakeAll().empty());
    EXPECT_EQ(Queue("too late"), CommandAnswer::kStopping);
    platform::CloseHandle(readEnd);
}

}  // namespace
