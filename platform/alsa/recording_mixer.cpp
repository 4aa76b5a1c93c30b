#include "platform/alsa/recording_mixer.h"

#include <alsa/asoundlib.h>

#include <chrono>

namespace corvalind {

namespace {

constexpr auto kLockPeriod = std::chrono::milliseconds(100);

// The first card's first enumerated capture element.
class AlsaRecordingMixer : public RecordingMixer {
 public:
  ~AlsaRecordingMixer() override {
    if (mixer_) snd_mixer_close(mixer_);
  }

  bool Open() {
    if (snd_mixer_open(&mixer_, 0) < 0) {
      mixer_ = nullptr;
      return false;
    }
    if (snd_mixer_attach(mixer_, "hw:0") < 0 || snd_mixer_selem_register(mixer_, nullptr, nullptr) < 0 ||
        snd_mixer_load(mixer_) < 0) {
      return false;
    }
    for (snd_mixer_elem_t* elem = snd_mixer_first_elem(mixer_); elem; elem = snd_mixer_elem_next(elem)) {
      if (snd_mixer_selem_is_active(elem) && snd_mixer_selem_is_enumerated(elem) &&
          snd_mixer_selem_is_enum_capture(elem)) {
        elem_ = elem;
        return true;
      }
    }
    return false;
  }

  std::vector<std::string> Inputs() override {
    std::vector<std::string> inputs;
    const int count = snd_mixer_selem_get_enum_items(elem_);
    for (int i = 0; i < count; ++i) {
      char name[64] = {};
      if (snd_mixer_selem_get_enum_item_name(elem_, static_cast<unsigned>(i), sizeof name - 1, name) < 0) break;
      inputs.emplace_back(name);
    }
    return inputs;
  }

  int Selected() override {
    unsigned item = 0;
    return snd_mixer_selem_get_enum_item(elem_, SND_MIXER_SCHN_FRONT_LEFT, &item) < 0 ? -1 : static_cast<int>(item);
  }

  bool Select(int index) override {
    if (index < 0) return false;
    // Every channel of the control takes the same input.
    bool done = false;
    for (int channel = 0; channel <= SND_MIXER_SCHN_LAST; ++channel) {
      const auto id = static_cast<snd_mixer_selem_channel_id_t>(channel);
      if (channel > 0 && !snd_mixer_selem_has_capture_channel(elem_, id)) continue;
      if (snd_mixer_selem_set_enum_item(elem_, id, static_cast<unsigned>(index)) >= 0) done = true;
    }
    return done;
  }

 private:
  snd_mixer_t* mixer_ = nullptr;
  snd_mixer_elem_t* elem_ = nullptr;
};

}  // namespace

std::unique_ptr<RecordingMixer> OpenAlsaRecordingMixer() {
  auto mixer = std::make_unique<AlsaRecordingMixer>();
  if (!mixer->Open()) return nullptr;
  return mixer;
}

RecordingSources FillRecordingSources(const RecordingMixerFactory& open) {
  RecordingSources sources;
  std::unique_ptr<RecordingMixer> mixer = open ? open() : nullptr;
  if (!mixer) return sources;
  sources.names = mixer->Inputs();
  const int selected = mixer->Selected();
  if (selected >= 0 && selected < static_cast<int>(sources.names.size())) sources.selected = selected;
  return sources;
}

bool SelectRecordingSource(const RecordingMixerFactory& open, const std::string& name) {
  if (name.empty() || !open) return false;
  std::unique_ptr<RecordingMixer> mixer = open();
  if (!mixer) return false;
  const std::vector<std::string> inputs = mixer->Inputs();
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (inputs[i].find(name) != std::string::npos) return mixer->Select(static_cast<int>(i));
  }
  return false;
}

RecordingSourceLock::RecordingSourceLock(RecordingMixerFactory open) : open_(std::move(open)) {}

RecordingSourceLock::~RecordingSourceLock() { Stop(); }

void RecordingSourceLock::Start(const std::string& name) {
  Stop();
  name_ = name;
  rounds_.store(0);
  wanted_.store(true);
  running_.store(true);
  thread_ = std::thread([this] { Run(); });
}

void RecordingSourceLock::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted_.store(false);
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  running_.store(false);
}

void RecordingSourceLock::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kLockPeriod, [this] { return !wanted_.load(); })) {
    lock.unlock();
    SelectRecordingSource(open_, name_);
    rounds_.fetch_add(1);
    lock.lock();
  }
  running_.store(false);
}

}  // namespace corvalind
