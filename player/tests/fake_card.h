// A DeckLink card for the tests: a sink registered under the name
// "decklinkvideosink" in place of the real one (the test machine has no
// card), which records the time stamps of the pictures it shows and can be
// told to refuse to start inside a graph or to fail while playing.
#pragma once

#include <gst/gst.h>

#include <vector>

namespace corvalind::testing {

enum class CardBehaviour {
  kWorks,
  kFailsInGraph,       // opens on its own, refuses to start with the graph
  kFailsWhilePlaying,  // posts an error after `failAfter` pictures
};

struct CardRecord {
  int opens = 0;   // starts (READY to PAUSED) that succeeded or failed
  int closes = 0;  // stops
  std::vector<GstClockTime> shown;
};

// Registers the fake under the real card sink's name. False when that
// failed or the name still makes another element.
bool RegisterFakeCard();

// Forgets what the card saw and sets what it does next.
void ResetCard(CardBehaviour behaviour, int failAfter = 0);

CardRecord CardSeen();

}  // namespace corvalind::testing
