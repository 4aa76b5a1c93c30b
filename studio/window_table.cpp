#include "studio/window_table.h"

#include <cstdio>

namespace corvalind {

int WindowTable::Open(int kind, void* frame) {
  const WindowKindInfo& info = KindInfo(kind);
  if (info.kind < 0) return -1;
  if (info.single && Find(kind) >= 0) return -1;
  int free = -1;
  for (int i = 0; i < kWindowTableSize; ++i) {
    if (!entries_[static_cast<std::size_t>(i)].inUse) {
      free = i;
      break;
    }
  }
  if (free < 0) return -1;
  int id = -1;
  if (info.numbered) {
    for (int candidate = 0; candidate < kWindowTableSize && id < 0; ++candidate) {
      bool held = false;
      for (const Entry& e : entries_) held = held || (e.inUse && e.id == candidate);
      if (!held) id = candidate;
    }
    if (id < 0) return -1;
  }
  entries_[static_cast<std::size_t>(free)] = Entry{true, kind, id, frame};
  return free;
}

int WindowTable::Close(int index) {
  if (index < 0 || index >= kWindowTableSize) return -1;
  Entry& e = entries_[static_cast<std::size_t>(index)];
  const int id = e.inUse ? e.id : -1;
  e = Entry{};
  return id;
}

int WindowTable::Find(int kind) const {
  for (int i = 0; i < kWindowTableSize; ++i) {
    const Entry& e = entries_[static_cast<std::size_t>(i)];
    if (e.inUse && e.kind == kind) return i;
  }
  return -1;
}

int WindowTable::IndexOfFrame(const void* frame) const {
  for (int i = 0; i < kWindowTableSize; ++i) {
    const Entry& e = entries_[static_cast<std::size_t>(i)];
    if (e.inUse && e.frame == frame) return i;
  }
  return -1;
}

int WindowTable::OpenCount() const {
  int n = 0;
  for (const Entry& e : entries_) n += e.inUse ? 1 : 0;
  return n;
}

std::string WindowTable::Title(int kind, int id, const std::string& plainTitle) {
  if (!KindInfo(kind).numbered) return plainTitle;
  char text[160];
  std::snprintf(text, sizeof(text), "%s ( id:%d )", plainTitle.c_str(), id + 1);
  return text;
}

}  // namespace corvalind
