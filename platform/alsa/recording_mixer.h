// The sound card's recording source: the inputs of its recording
// multiplexer, which one is selected, and a lock that keeps a chosen one
// selected while other programs try to switch it.
//
// The multiplexer is reached through RecordingMixer, opened afresh for
// every operation (so the UI thread and the lock thread share no handle);
// OpenAlsaRecordingMixer gives the first sound card's capture-source
// control (an enumerated capture element such as "Capture Source" or
// "Input Source"). A machine without a card or without such a control has
// no mixer: the list stays empty and selecting and locking do nothing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvalind {

class RecordingMixer {
 public:
  virtual ~RecordingMixer() = default;
  // The multiplexer's inputs, in its order.
  virtual std::vector<std::string> Inputs() = 0;
  // The selected input, or -1.
  virtual int Selected() = 0;
  // Selects input `index` (and so deselects the others); false when the
  // card refuses.
  virtual bool Select(int index) = 0;
};

// Opens the multiplexer; null when there is none.
using RecordingMixerFactory = std::function<std::unique_ptr<RecordingMixer>()>;
std::unique_ptr<RecordingMixer> OpenAlsaRecordingMixer();

struct RecordingSources {
  std::vector<std::string> names;
  int selected = -1;  // the selected input, or -1
};

// The list of the settings form: every input and the selected one.
RecordingSources FillRecordingSources(const RecordingMixerFactory& open);

// Selects the first input whose name contains `name` (case-sensitive); an
// empty name, no match or no mixer leave the selection as it is. Selecting
// writes even when the input is selected already.
bool SelectRecordingSource(const RecordingMixerFactory& open, const std::string& name);

// Re-selects one input every 100 ms until stopped, so that other programs
// cannot switch the recording input away during a show.
class RecordingSourceLock {
 public:
  explicit RecordingSourceLock(RecordingMixerFactory open);
  ~RecordingSourceLock();
  RecordingSourceLock(const RecordingSourceLock&) = delete;
  RecordingSourceLock& operator=(const RecordingSourceLock&) = delete;

  // Starts re-selecting `name` (restarting when it runs). UI thread.
  void Start(const std::string& name);
  // Stops and joins the thread; its sleep ends at once. UI thread.
  void Stop();
  bool Running() const { return running_.load(); }
  // Re-selections done since Start.
  unsigned Rounds() const { return rounds_.load(); }

 private:
  void Run();

  RecordingMixerFactory open_;
  std::string name_;  // fixed while the thread runs
  std::atomic<bool> wanted_{false};
  std::atomic<bool> running_{false};
  std::atomic<unsigned> rounds_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

}  // namespace corvalind
