#include "platform/folders.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace corvalind {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string Home() {
  std::string home = Env("HOME");
  return home.empty() ? std::string("/tmp") : home;
}

std::string ConfigHome() {
  std::string config = Env("XDG_CONFIG_HOME");
  // The XDG rules ignore relative paths.
  if (config.empty() || config[0] != '/') config = Home() + "/.config";
  return config;
}

// Reads the XDG_DOCUMENTS_DIR line of user-dirs.dirs: a quoted path that
// may start with $HOME.
std::string DocumentsFromUserDirs() {
  std::ifstream file(ConfigHome() + "/user-dirs.dirs");
  std::string line;
  while (std::getline(file, line)) {
    const std::string key = "XDG_DOCUMENTS_DIR=";
    if (line.compare(0, key.size(), key) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (value.compare(0, 5, "$HOME") == 0) value = Home() + value.substr(5);
    if (!value.empty() && value[0] == '/') return value;
  }
  return {};
}

}  // namespace

std::string ConfigFolder() { return ConfigHome() + "/Corvalind"; }

std::string SettingsFilePath() { return ConfigFolder() + "/settings.txt"; }

std::string DocumentsFolder() {
  std::string documents = Env("XDG_DOCUMENTS_DIR");
  if (!documents.empty() && documents[0] == '/') return documents;
  documents = DocumentsFromUserDirs();
  if (!documents.empty()) return documents;
  return Home() + "/Documents";
}

std::string RuntimeFolder() { return Env("XDG_RUNTIME_DIR"); }

bool EnsureFolder(const std::string& path) {
  if (path.empty()) return false;
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !EnsureFolder(path.substr(0, slash))) return false;
  if (mkdir(path.c_str(), 0700) == 0) return true;
  return errno == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace corvalind
