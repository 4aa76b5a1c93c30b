#include "studio/studio_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/folders.h"

namespace corvalind {

namespace {

// Creates the file empty with mode 0600 when missing, else sets that mode,
// so the copy QSettings writes over it never starts readable by others.
void MakePrivate(const QString& path) {
  const QByteArray name = path.toLocal8Bit();
  const int fd = open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) {
    fchmod(fd, 0600);
    close(fd);
  }
}

}  // namespace

QString StudioConfigPath() { return QString::fromStdString(ConfigFolder() + "/Corvalind.conf"); }

QSettings OpenStudioConfig() { return QSettings(StudioConfigPath(), QSettings::IniFormat); }

QSettings OpenStudioConfigToChange() {
  EnsureFolder(ConfigFolder());
  MakePrivate(StudioConfigPath());
  return OpenStudioConfig();
}

bool SaveStudioConfig(QSettings& file) {
  file.sync();
  // QSettings replaces the file by a new one on each save.
  chmod(file.fileName().toLocal8Bit().constData(), 0600);
  return file.status() == QSettings::NoError;
}

}  // namespace corvalind
