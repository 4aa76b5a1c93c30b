// CFTPObserver on its own, with a clock of the test: the exact console
// texts, the progress limit of one print per quarter of a second, resumed
// transfers and control characters in replies.
#include "producer/ftp_observer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace corvalind {
namespace {

using std::chrono::milliseconds;

class ObserverTest : public ::testing::Test {
 protected:
  ObserverTest() : file_(open_memstream(&data_, &size_)), observer_(file_, [this] { return now_; }) {}
  ~ObserverTest() override {
    std::fclose(file_);
    std::free(data_);
  }

  // What was printed since the last call.
  std::string Take() {
    std::fflush(file_);
    std::string text(data_ + taken_, size_ - taken_);
    taken_ = size_;
    return text;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t taken_ = 0;
  std::FILE* file_;
  CFTPObserver::Clock::time_point now_{};
  CFTPObserver observer_;
};

TEST_F(ObserverTest, RepliesAndErrorsArePrintedAsLines) {
  struct Case {
    bool reply;
    std::string text;
    std::string printed;
  };
  const std::vector<Case> cases = {
      {true, "220 Service ready", "<== 220 Service ready\n"},
      {true, "", "<== \n"},
      {true, "227 Entering passive mode (127,0,0,1,4,1).", "<== 227 Entering passive mode (127,0,0,1,4,1).\n"},
      {true, "250\tdone 100%s", "<== 250\tdone 100%s\n"},
      // A server cannot steer the terminal, and NUL does not cut the line.
      {true, "220 \x1b[2J\rgone\b", "<== 220 ?[2J?gone?\n"},
      {true, std::string("550 a\0b\x7f", 8), "<== 550 a?b?\n"},
      {false, "Logon failed.", "error: Logon failed.\n"},
      {false, "Connect error 0x0000006f", "error: Connect error 0x0000006f\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.printed);
    if (c.reply) {
      observer_.OnReply(c.text);
    } else {
      observer_.OnInternalError(c.text);
    }
    EXPECT_EQ(Take(), c.printed);
  }
}

TEST_F(ObserverTest, ProgressIsPrintedAtMostEveryQuarterSecond) {
  struct Step {
    int atMs;
    std::size_t bytes;
    std::string printed;
  };
  // 1000 bytes in blocks of 100: the first block prints at once, later
  // ones only when 250 ms have passed since the last print.
  const std::vector<Step> steps = {
      {0, 100, "\b\b\b\b 10"}, {100, 100, ""},          {249, 100, ""},  {250, 100, "\b\b\b\b 40"},
      {260, 100, ""},          {499, 100, ""},          {520, 100, "\b\b\b\b 70"}, {521, 100, ""},
      {900, 100, "\b\b\b\b 90"}, {1000, 100, ""},
  };
  observer_.OnTransferStart(1000, 0);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.atMs);
    now_ = CFTPObserver::Clock::time_point{} + milliseconds(step.atMs);
    observer_.OnBytesSent(step.bytes);
    EXPECT_EQ(Take(), step.printed);
  }
  // A new transfer prints its first block at once again.
  now_ += milliseconds(1);
  observer_.OnTransferStart(50, 0);
  observer_.OnBytesSent(50);
  EXPECT_EQ(Take(), "\b\b\b\b100");
}

TEST_F(ObserverTest, AResumedTransferCountsFromItsOffset) {
  observer_.OnTransferStart(4000, 3000);
  observer_.OnBytesSent(500);
  EXPECT_EQ(Take(), "\b\b\b\b 87");
  now_ += milliseconds(250);
  observer_.OnBytesSent(500);
  EXPECT_EQ(Take(), "\b\b\b\b100");
  // A file that grew while it was sent never shows more than 100.
  now_ += milliseconds(250);
  observer_.OnBytesSent(500);
  EXPECT_EQ(Take(), "\b\b\b\b100");
}

}  // namespace
}  // namespace corvalind
