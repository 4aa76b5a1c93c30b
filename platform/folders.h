// Where Corvalind keeps its files, following the XDG base directories.
//
// Every function reads the environment at the time of the call, so tests
// can point HOME and the XDG variables at temporary folders.
#pragma once

#include <string>

namespace corvalind {

// $XDG_CONFIG_HOME/Corvalind, or $HOME/.config/Corvalind. Not created.
std::string ConfigFolder();

// The settings file read by the studio and the camera, written by Apply.
std::string SettingsFilePath();

// $XDG_DOCUMENTS_DIR, else the XDG_DOCUMENTS_DIR line of
// $XDG_CONFIG_HOME/user-dirs.dirs, else $HOME/Documents. Not created.
std::string DocumentsFolder();

// $XDG_RUNTIME_DIR, or empty when it is not set.
std::string RuntimeFolder();

// Creates a folder and its missing parents (mode 0700 for new ones).
// Returns true when the folder exists afterwards.
bool EnsureFolder(const std::string& path);

}  // namespace corvalind
