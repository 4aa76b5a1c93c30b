// The player with a card: the test card (fake_card.h) stands in for
// decklinkvideosink in this program, so the card's branch can be watched
// picture by picture, and made to refuse or fail.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <algorithm>
#include <string>
#include <vector>

#include "player/player_dialog.h"
#include "player/tests/fake_card.h"
#include "player/tests/player_fixture.h"

namespace corvalind {
namespace {

using testing::CardBehaviour;
using testing::CardSeen;
using testing::kFirstPicture;
using testing::PlayerTest;
using testing::ResetCard;
using testing::WaitUntil;

class FakeCardEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(testing::RegisterFakeCard()); }
};
const auto* const kFakeCard = ::testing::AddGlobalTestEnvironment(new FakeCardEnvironment);

class CardTest : public PlayerTest {
 protected:
  std::unique_ptr<CMainDlg> PlayWithCard() {
    auto dialog = MakeDialog();
    dialog->DeckLinkCheck()->setChecked(true);
    QTest::mouseClick(dialog->PlayButton(), Qt::LeftButton);
    return dialog;
  }
};

// The card's branch gets every picture, also while the window is stalled:
// what the card showed is, in order and without a gap, what the camera
// sent from the card's first picture on.
TEST_F(CardTest, TheCardGetsEveryPictureWhileTheWindowIsStalled) {
  ResetCard(CardBehaviour::kWorks);
  auto dialog = PlayWithCard();
  ASSERT_TRUE(dialog->Playing());
  EXPECT_TRUE(messages_.empty());
  ASSERT_TRUE(dialog->Pipeline()->HasDeckLink());
  EXPECT_FALSE(dialog->DeckLinkCheck()->isEnabled());
  EXPECT_EQ(WaitForPicture(*dialog, kFirstPicture), "");

  testing::CameraStamps camera(*dialog->Pipeline());
  testing::WindowHold hold(*dialog->Pipeline());
  ASSERT_TRUE(camera.Recording() && hold.Holding());
  const uint64_t shownBefore = dialog->Pipeline()->FramesShown();
  const std::size_t cardBefore = CardSeen().shown.size();
  EXPECT_TRUE(WaitUntil([&] { return CardSeen().shown.size() >= cardBefore + 30; }))
      << "the card stalled behind the window";
  EXPECT_LE(dialog->Pipeline()->FramesShown(), shownBefore + 2);
  hold.Release();

  dialog->OnPlay();
  ASSERT_FALSE(dialog->Playing());
  camera.Stop();
  const std::vector<GstClockTime> sent = camera.Stamps();
  const testing::CardRecord card = CardSeen();
  EXPECT_EQ(card.opens, card.closes) << "the card was left open";
  ASSERT_GE(sent.size(), 30u);
  // From the first picture the camera sent while recorded, the card showed
  // each one; only the last few may still have been on their way at Stop.
  const auto first = std::find(card.shown.begin(), card.shown.end(), sent.front());
  ASSERT_NE(first, card.shown.end()) << "the card never showed the camera's first recorded picture";
  const std::vector<GstClockTime> showned(first, card.shown.end());
  ASSERT_LE(showned.size(), sent.size());
  EXPECT_TRUE(std::equal(showned.begin(), showned.end(), sent.begin())) << "the card skipped or repeated a picture";
  EXPECT_GE(showned.size() + 5, sent.size()) << "pictures for the card were lost";
}

TEST_F(CardTest, ACardThatRefusesToStartWithTheGraphIsLeftOutWithOneMessage) {
  ResetCard(CardBehaviour::kFailsInGraph);
  auto dialog = PlayWithCard();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].caption, kDeckLinkMissingCaption);
  EXPECT_EQ(messages_[0].text, kDeckLinkMissingText);
  ASSERT_TRUE(dialog->Playing());
  EXPECT_FALSE(dialog->Pipeline()->HasDeckLink());
  EXPECT_EQ(WaitForPicture(*dialog, kFirstPicture), "");
  EXPECT_GE(CardSeen().opens, 2);
}

// A card that gives up while playing is dropped: one message, and the
// window plays on without it, still in full screen.
TEST_F(CardTest, ACardThatFailsWhilePlayingIsDroppedAndTheWindowPlaysOn) {
  ResetCard(CardBehaviour::kFailsWhilePlaying, 20);
  auto dialog = PlayWithCard();
  ASSERT_TRUE(dialog->Playing());
  ASSERT_TRUE(dialog->Pipeline()->HasDeckLink());
  const uint64_t first = dialog->Pipeline()->Serial();
  dialog->SetFullScreen(true);
  EXPECT_TRUE(messages_.empty());

  ASSERT_TRUE(WaitUntil([&] { return !messages_.empty(); }))
      << "the card showed " << CardSeen().shown.size() << " pictures, the window " << dialog->Pipeline()->FramesShown();
  EXPECT_EQ(messages_[0].text, kDeckLinkMissingText);
  ASSERT_TRUE(dialog->Playing());
  EXPECT_NE(dialog->Pipeline()->Serial(), first);
  EXPECT_FALSE(dialog->Pipeline()->HasDeckLink());
  EXPECT_TRUE(dialog->FullScreen());
  EXPECT_EQ(WaitForPicture(*dialog, kFirstPicture), "");
  ASSERT_TRUE(WaitForFrames(*dialog, 10));
  EXPECT_EQ(messages_.size(), 1u);
  EXPECT_EQ(CardSeen().shown.size(), 20u);
}

}  // namespace
}  // namespace corvalind
