// corvalind: the studio. Until its windows exist it runs headless on the
// bundled demo: live generated sources, two scenes switched in a loop
// through the transitions, and the program published in the output buffer
// for the virtual camera ("Corvalind Camera").
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/messages.h"
#include "engine/output_format.h"
#include "engine/program_output_loop.h"
#include "engine/source_slot.h"
#include "engine/transition.h"
#include "engine/video_engine.h"
#include "platform/folders.h"
#include "platform/output_block.h"
#include "studio/demo_scene.h"
#include "studio/demo_sources.h"
#include "studio/png_file.h"
#include "studio/shared_output_target.h"
#include "studio/studio_settings.h"

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

void PrintStatus(std::string_view text) {
  std::printf("%.*s\n", static_cast<int>(text.size()), text.data());
  std::fflush(stdout);
}

void Usage() {
  std::printf(
      "usage: corvalind [--output FILE.png] [--frames N] [--size WIDTHxHEIGHT]\n"
      "Runs the studio's demo headless and publishes the program for the\n"
      "virtual camera until interrupted (or until N frames were published).\n"
      "--output writes the program picture once the first scene is on air.\n");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace corvalind;
  std::string output;
  long frameLimit = 0;
  OutputFormat& format = GlobalOutputFormat();
  const PictureSettings settings = LoadStudioSettings(format);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--output" && i + 1 < argc) {
      output = argv[++i];
    } else if (arg == "--frames" && i + 1 < argc) {
      frameLimit = std::strtol(argv[++i], nullptr, 10);
    } else if (arg == "--size" && i + 1 < argc) {
      int w = 0, h = 0;
      if (std::sscanf(argv[++i], "%dx%d", &w, &h) != 2 || !format.SetSize(w, h)) {
        std::fprintf(stderr, "corvalind: bad size '%s'\n", argv[i]);
        return 2;
      }
    } else if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    } else {
      std::fprintf(stderr, "corvalind: unknown argument '%s'\n", arg.c_str());
      Usage();
      return 2;
    }
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  SetStatusTextHandler(&PrintStatus);

  SourceSlotTable& slots = GlobalSourceSlots();
  std::unique_ptr<VideoEngine> engine = VideoEngine::Create(slots, format);
  if (!engine) {
    std::fprintf(stderr, "corvalind: cannot allocate the engine's buffers\n");
    return 1;
  }
  StoreDemoScenes(*engine);
  gVideoEngine = engine.get();

  std::printf("Corvalind: program %dx%d at %d fps%s (settings: %s)\n", format.outputWidth,
              format.outputHeight, format.frameRate, settings.mirror ? ", mirrored by the camera" : "",
              SettingsFilePath().c_str());
  std::printf("Watch it: GST_PLUGIN_PATH=build/lib/gstreamer-1.0 gst-launch-1.0 corvalindcamsrc ! videoconvert ! autovideosink\n");
  std::fflush(stdout);

  {
    ProgramOutputLoop loop(format, std::make_unique<SharedOutputTarget>(kOutputBufferName, format.frameBytes));
    DemoSources sources(slots, format.frameIntervalMs);
    const auto start = std::chrono::steady_clock::now();
    auto nextSwitch = start + std::chrono::seconds(4);
    int transition = kTransitionBlend;
    bool pictureWritten = output.empty();
    while (!gStop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const auto now = std::chrono::steady_clock::now();
      if (!pictureWritten && loop.PublishedFrames() > 0 && now - start > std::chrono::milliseconds(500)) {
        std::vector<uint8_t> picture;
        {
          std::lock_guard<std::mutex> guard(loop.OutputLock());
          picture = loop.ProgramFrame();
        }
        if (WriteFramePng(output, picture.data(), format.outputWidth, format.outputHeight)) {
          std::printf("Program picture written to %s\n", output.c_str());
        } else {
          std::fprintf(stderr, "corvalind: cannot write %s\n", output.c_str());
        }
        std::fflush(stdout);
        pictureWritten = true;
      }
      if (now >= nextSwitch) {
        // The loop of the scene manager: the next scene, the next effect.
        const int next = (engine->CurrentScene() + 1) % engine->SceneCount();
        engine->SwitchScene(next, transition);
        std::printf("Scene \"%s\" on air (%s)\n", engine->Scenes().scenes[next].name.c_str(),
                    TransitionName(transition));
        std::fflush(stdout);
        transition = transition % (kTransitionTypeCount - 1) + 1;
        nextSwitch = now + std::chrono::seconds(4);
      }
      if (frameLimit > 0 && static_cast<long>(loop.PublishedFrames()) >= frameLimit && pictureWritten) break;
      if (!loop.Alive() && !loop.Publishing()) break;  // the block could not be set up
    }
    std::printf("Corvalind: %llu program frames published\n",
                static_cast<unsigned long long>(loop.PublishedFrames()));
  }
  gVideoEngine = nullptr;
  return 0;
}
