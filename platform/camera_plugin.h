// Where the virtual camera's plugin is for a program of this project.
//
// A build tree keeps it in <top>/lib/gstreamer-1.0 beside <top>/bin; an
// installation in <prefix>/<libdir>/gstreamer-1.0 beside <prefix>/bin.
// Under /usr GStreamer looks there by itself; under any other prefix it
// would not, so programs that open the camera name the folder to GStreamer
// before it starts.
#pragma once

#include <string>

namespace corvalind {

// The folder beside the running program that holds libgstcorvalindcam.so:
// the build tree's first, then the installation's. Empty when neither has
// it.
std::string CameraPluginFolderBesideProgram();

// Puts that folder in front of GST_PLUGIN_PATH (whatever it held stays
// behind it). Call before GStreamer starts. Answers the folder, or empty
// when there is none and nothing was changed.
std::string UseCameraPluginBesideProgram();

}  // namespace corvalind
