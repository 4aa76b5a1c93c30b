// corvalind: the studio. Until the studio's windows exist it runs headless:
// it composes the bundled demo from generated pictures, runs a transition,
// and writes the program picture to a PNG file.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/output_format.h"
#include "engine/source_slot.h"
#include "engine/video_engine.h"
#include "studio/demo_scene.h"
#include "studio/png_file.h"

namespace {

void Usage() {
  std::printf(
      "usage: corvalind [--output FILE.png] [--size WIDTHxHEIGHT]\n"
      "Composes the demo program and writes it as a PNG picture.\n");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace corvalind;
  std::string output = "corvalind-program.png";
  OutputFormat& format = GlobalOutputFormat();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--output" && i + 1 < argc) {
      output = argv[++i];
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

  SourceSlotTable& slots = GlobalSourceSlots();
  std::unique_ptr<VideoEngine> engine = VideoEngine::Create(slots, format);
  if (!engine) {
    std::fprintf(stderr, "corvalind: cannot allocate the engine's buffers\n");
    return 1;
  }
  StoreDemoScenes(*engine);

  std::vector<uint8_t> program(format.frameBytes + 1, 0);
  // Scene 1 on air, then a "Blend" back to the studio scene: 38 ticks, one
  // source frame each, as the output loop would see them.
  engine->SwitchScene(1, kTransitionCut);
  int phase = 0;
  DeliverDemoFrames(slots, phase++);
  engine->ComposeProgramFrame(program.data(), format.frameBytes);
  engine->SwitchScene(0, kTransitionBlend);
  int frames = 0;
  double composeMs = 0.0;
  while (engine->Transition().activeTransition != 0 || frames < 40) {
    DeliverDemoFrames(slots, phase++);
    const auto start = std::chrono::steady_clock::now();
    if (engine->ComposeProgramFrame(program.data(), format.frameBytes)) ++frames;
    composeMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }

  if (!WriteFramePng(output, program.data(), format.outputWidth, format.outputHeight)) {
    std::fprintf(stderr, "corvalind: cannot write %s\n", output.c_str());
    return 1;
  }
  std::printf("Corvalind demo: %d program frames of %dx%d composed (%.2f ms each on average)\n",
              frames, format.outputWidth, format.outputHeight, composeMs / frames);
  std::printf("Program picture written to %s\n", output.c_str());
  return 0;
}
