#include "engine/transition.h"

namespace corvalind {

const char* TransitionName(int type) {
  static const char* const kNames[kTransitionTypeCount] = {
      "Cut / None", "Blend", "Move Left", "Move Right", "Move Top", "Move Bottom",
      "Split",      "Break", "Lines",     "Fade Black", "Fade White"};
  if (type < 0 || type >= kTransitionTypeCount) return nullptr;
  return kNames[type];
}

}  // namespace corvalind
