#include "studio/window_kinds.h"

#include "engine/source_slot.h"
#include "studio/forms/camera_form.h"
#include "studio/forms/desktop_form.h"
#include "studio/forms/network_form.h"
#include "studio/forms/overlay_form.h"
#include "studio/forms/program_form.h"
#include "studio/forms/recorder_form.h"
#include "studio/forms/scene_manager.h"
#include "studio/forms/settings_form.h"
#include "studio/forms/slideshow_form.h"
#include "studio/forms/snaptrace_form.h"
#include "studio/forms/stream_form.h"
#include "studio/forms/videofile_form.h"

namespace corvalind {

namespace {

// Sources deliver into the slot of their id; ids past the slot table get
// no form.
bool HasSlot(const FormContext& context) { return context.id >= 0 && context.id < SourceSlotCount; }

QWidget* MakeCamera(const FormContext& context) {
  return HasSlot(context) ? new CViewCameraForm(context.id) : nullptr;
}
QWidget* MakeVideoFile(const FormContext& context) {
  return HasSlot(context) ? new CViewVideofileForm(context.id) : nullptr;
}
QWidget* MakeSlideshow(const FormContext& context) {
  return HasSlot(context) ? new CViewSlideshowForm(context.id) : nullptr;
}
QWidget* MakeHook(const FormContext& context) {
  return HasSlot(context) ? new CViewSnaptraceForm(context.id) : nullptr;
}
QWidget* MakeDesktop(const FormContext& context) {
  return HasSlot(context) ? new CViewDesktopForm(context.id) : nullptr;
}
QWidget* MakeOverlay(const FormContext&) { return new CViewOverlayForm(false); }
QWidget* MakeBackground(const FormContext&) { return new CViewOverlayForm(true); }
QWidget* MakeProgram(const FormContext& context) {
  return new CViewProgramForm(*context.format, context.bufferName, context.engine);
}
QWidget* MakeSceneManager(const FormContext& context) { return new CViewSceneManager(*context.engine); }
QWidget* MakeSettings(const FormContext&) { return new CSoundControlForm; }
// The recorder reads the buffer this studio publishes (a private one when
// standalone).
QWidget* MakeRecorder(const FormContext& context) { return new CViewRecorderForm(nullptr, context.bufferName); }
// The transmitter reads the same buffer.
QWidget* MakeNetwork(const FormContext& context) { return new CViewNetworkForm(*context.format, context.bufferName); }
// The stream reads it too.
QWidget* MakeStream(const FormContext& context) { return new CViewStreamForm(*context.format, context.bufferName); }

// Menu and tool-bar order.
const WindowKindInfo kKinds[] = {
    {kKindCamera, "Video Camera", true, false, KindMenu::kSource, "Camera",
     "Add video camera source", "Add camera source", 1, &MakeCamera},
    {kKindVideoFile, "Video File", true, false, KindMenu::kSource, "Video File",
     "Add video file source", "Add video file source", 1, &MakeVideoFile},
    {kKindSlideShow, "Slide Show", true, false, KindMenu::kSource, "Slideshow", "Add slide show source",
     "Add slide show source", 1, &MakeSlideshow},
    {kKindDesktop, "Capture Desktop", true, false, KindMenu::kSource, "Desktop",
     "Add desktop capture source", "Add desktop source", 1, &MakeDesktop},
    {kKindHook, "DirectX/OpenGL Hook", true, false, KindMenu::kSource, "Video Hook",
     "Add DirectX/OpenGL game capture source", "Add video hook source", 1, &MakeHook},
    {kKindProgram, "Video Output (%dx%dx%d)", false, true, KindMenu::kView, "Program",
     "Activate the program output window", "Program", 2, &MakeProgram,
     /*resizable=*/true, /*centred=*/false, /*first=*/true},
    {kKindSceneManager, "Scene Manager", false, true, KindMenu::kView, "Scene Manager",
     "Activate the scene manager window", "Scene Manager", 2, &MakeSceneManager,
     /*resizable=*/false, /*centred=*/true, /*first=*/false, /*takesSceneHotKeys=*/true,
     /*restoredLast=*/true},
    {kKindOverlay, "Image Overlay", false, true, KindMenu::kView, "Overlay",
     "Activate the image overlay window", "Overlay", 2, &MakeOverlay},
    {kKindBackground, "Image Background", false, true, KindMenu::kView, "Background",
     "Activate the image background window", "Background", 2, &MakeBackground},
    {kKindNetwork, "Network Transmitter", false, true, KindMenu::kView, "Network Send",
     "Activate the network transmitter window", "Network Send", 3, &MakeNetwork},
    {kKindRecorder, "Video Recorder", false, true, KindMenu::kView, "Recorder",
     "Activate the video recorder window", "Recorder", 3, &MakeRecorder},
    {kKindStream, "Stream Output", false, true, KindMenu::kView, "Stream",
     "Activate the stream output window", "Stream to a platform or a media server", 3, &MakeStream},
    {kKindSettings, "Settings Control", false, true, KindMenu::kView, "Settings Control",
     "Activate the settings control window", "Settings Control", 3, &MakeSettings},
};
static_assert(std::size(kKinds) == kWindowKindCount);

}  // namespace

std::span<const WindowKindInfo> WindowKinds() { return kKinds; }

const WindowKindInfo& KindInfo(int kind) {
  for (const WindowKindInfo& info : kKinds) {
    if (info.kind == kind) return info;
  }
  static const WindowKindInfo kUnknown = [] {
    WindowKindInfo unknown;
    unknown.single = true;
    return unknown;
  }();
  return kUnknown;
}

}  // namespace corvalind
