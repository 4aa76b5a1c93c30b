// The eleven scene transitions, in the order the scene manager lists them;
// the type is the position in that list.
#pragma once

namespace corvalind {

enum TransitionType : int {
  kTransitionCut = 0,
  kTransitionBlend = 1,
  kTransitionMoveLeft = 2,
  kTransitionMoveRight = 3,
  kTransitionMoveTop = 4,
  kTransitionMoveBottom = 5,
  kTransitionSplit = 6,
  kTransitionBreak = 7,
  kTransitionLines = 8,
  kTransitionFadeBlack = 9,
  kTransitionFadeWhite = 10,
};

inline constexpr int kTransitionTypeCount = 11;
// Steps of a counted transition and the divisor of the picture size that
// gives their step.
inline constexpr int TransitionSteps = 32;
// Weight step of the weighted transitions (Blend, Fade Black, Fade White).
inline constexpr int FadeStep = 7;

// The text the scene manager shows for a type ("Cut / None", "Blend", ...),
// or nullptr outside 0..10.
const char* TransitionName(int type);

}  // namespace corvalind
