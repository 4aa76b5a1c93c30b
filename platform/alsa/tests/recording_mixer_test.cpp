// The recording-source logic against a fake multiplexer: the list and its
// selection, choosing by part of a name, and the lock winning back its
// input from another program.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/alsa/recording_mixer.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::WaitFor;

// The card: its inputs and the selected one, shared by every opened mixer.
struct FakeCard {
  std::mutex mutex;
  std::vector<std::string> inputs;
  int selected = -1;
  int writes = 0;

  int Selected() {
    std::lock_guard<std::mutex> lock(mutex);
    return selected;
  }
  void SelectFromElsewhere(int index) {
    std::lock_guard<std::mutex> lock(mutex);
    selected = index;
  }
  int Writes() {
    std::lock_guard<std::mutex> lock(mutex);
    return writes;
  }
};

class FakeMixer : public RecordingMixer {
 public:
  explicit FakeMixer(FakeCard& card) : card_(card) {}
  std::vector<std::string> Inputs() override {
    std::lock_guard<std::mutex> lock(card_.mutex);
    return card_.inputs;
  }
  int Selected() override { return card_.Selected(); }
  bool Select(int index) override {
    std::lock_guard<std::mutex> lock(card_.mutex);
    if (index < 0 || index >= static_cast<int>(card_.inputs.size())) return false;
    card_.selected = index;
    ++card_.writes;
    return true;
  }

 private:
  FakeCard& card_;
};

RecordingMixerFactory Open(FakeCard& card) {
  return [&card] { return std::make_unique<FakeMixer>(card); };
}

TEST(RecordingMixerTest, TheListShowsEveryInputAndTheSelectedOne) {
  FakeCard card;
  card.inputs = {"Microphone", "Line In", "Stereo Mix"};
  card.selected = 1;
  const RecordingSources sources = FillRecordingSources(Open(card));
  EXPECT_EQ(sources.names, card.inputs);
  EXPECT_EQ(sources.selected, 1);

  // No card, or no capture-source control: nothing, silently.
  const RecordingSources none = FillRecordingSources([] { return std::unique_ptr<RecordingMixer>(); });
  EXPECT_TRUE(none.names.empty());
  EXPECT_EQ(none.selected, -1);
  EXPECT_FALSE(SelectRecordingSource([] { return std::unique_ptr<RecordingMixer>(); }, "Mic"));
}

TEST(RecordingMixerTest, APartOfANameSelectsTheFirstInputHoldingIt) {
  FakeCard card;
  card.inputs = {"Line In", "Microphone", "Mic Boost"};
  card.selected = 0;
  struct Case {
    std::string name;
    bool selects;
    int selected;
  };
  const Case cases[] = {{"Mic", true, 1}, {"Boost", true, 2}, {"mic", false, 2}, {"", false, 2}, {"CD", false, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SelectRecordingSource(Open(card), c.name), c.selects);
    EXPECT_EQ(card.Selected(), c.selected);
  }
  // Selecting writes even when nothing changes.
  const int writes = card.Writes();
  EXPECT_TRUE(SelectRecordingSource(Open(card), "Boost"));
  EXPECT_EQ(card.Writes(), writes + 1);
}

TEST(RecordingMixerTest, TheLockWinsBackItsInputAndStopsAtOnce) {
  FakeCard card;
  card.inputs = {"Microphone", "Line In", "Stereo Mix"};
  card.selected = 0;
  RecordingSourceLock lock(Open(card));
  lock.Start("Line");
  EXPECT_TRUE(lock.Running());
  ASSERT_TRUE(WaitFor([&] { return card.Selected() == 1; }));

  // Another program switches the input: the lock takes it back.
  card.SelectFromElsewhere(2);
  ASSERT_TRUE(WaitFor([&] { return card.Selected() == 1; }));
  ASSERT_TRUE(WaitFor([&] { return lock.Rounds() >= 3; }));

  lock.Stop();
  EXPECT_FALSE(lock.Running());
  card.SelectFromElsewhere(2);
  const int writes = card.Writes();
  // Restarting with another name takes that one.
  lock.Start("Stereo");
  ASSERT_TRUE(WaitFor([&] { return card.Writes() > writes; }));
  EXPECT_EQ(card.Selected(), 2);
  lock.Stop();
  EXPECT_FALSE(lock.Running());
}

}  // namespace
}  // namespace corvalind
