// Reelforge: records the virtual camera (or a capture device) into
// rotating WebM files and uploads them by FTP. Configured by Reelforge.ini
// in the Corvalind folder of the documents; takes no arguments.
//
// CORVALIND_OUTPUT_BUFFER, when set, names the studio output buffer the
// virtual camera reads (a second studio publishes under its own name).
#include <cstdlib>

#include "platform/camera_plugin.h"
#include "producer/reelforge_config.h"
#include "producer/reelforge_cycle.h"

int main(int /*argc*/, char** argv) {
  // The camera beside the program (a build tree, or an installation under
  // any prefix), before GStreamer starts.
  corvalind::UseCameraPluginBesideProgram();
  corvalind::ReelforgeRunOptions options;
  options.iniPath = corvalind::ReelforgeIniPath();
  if (const char* buffer = std::getenv("CORVALIND_OUTPUT_BUFFER"); buffer && *buffer) options.bufferName = buffer;
  const corvalind::ReelforgeOutcome outcome = corvalind::RunReelforge(options);
  if (outcome.end == corvalind::ReelforgeEnd::kRestart) {
    corvalind::ReexecuteSelf(argv);
    return -1;  // only when the program could not be started again
  }
  return 0;
}
