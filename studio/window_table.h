// The table of open child windows: 50 entries with their kind and id.
//
// Numbered kinds (the sources) take the lowest id 0..49 no open window
// holds; a source's id is also its slot number (only 0..9 have a slot).
// Single kinds open at most once. The table is UI-thread only.
#pragma once

#include <array>
#include <string>

#include "studio/window_kinds.h"

namespace corvalind {

inline constexpr int kWindowTableSize = 50;

class WindowTable {
 public:
  struct Entry {
    bool inUse = false;
    int kind = -1;
    int id = -1;
    void* frame = nullptr;  // the child window
  };

  // Takes an entry for a new window of `kind`; returns its index, or -1
  // when a single kind is open already, the table is full, or every id of
  // a numbered kind is held.
  int Open(int kind, void* frame);
  // Frees the entry; returns the id it had (-1 for unnumbered kinds).
  int Close(int index);

  // The first open entry of a kind, or -1.
  int Find(int kind) const;
  int IndexOfFrame(const void* frame) const;
  const Entry& At(int index) const { return entries_[static_cast<std::size_t>(index)]; }
  int OpenCount() const;

  // "%s ( id:%d )" for numbered kinds (id + 1), the plain title otherwise.
  static std::string Title(int kind, int id, const std::string& plainTitle);

 private:
  std::array<Entry, kWindowTableSize> entries_{};
};

}  // namespace corvalind
