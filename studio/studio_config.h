// The studio's own choices beside settings.txt: ConfigFolder()/Corvalind.conf,
// an INI file with a group per subject (Remote, Stream, Loopback,
// UpdateCheck). It holds the stream key, the SRT passphrase and the remote
// control's password, so it is kept readable and writable by the user alone:
// its folder is made 0700 when missing, and the file is 0600 before anything
// is written into it and after every save.
#pragma once

#include <QSettings>
#include <QString>

namespace corvalind {

QString StudioConfigPath();

// The file for reading (QSettings is neither copied nor moved: the result
// is built in place).
QSettings OpenStudioConfig();

// The file for changing: the folder and the file exist and are the user's
// alone before QSettings writes a byte.
QSettings OpenStudioConfigToChange();

// Writes the changes out and keeps the file the user's alone. False when
// the file could not be written.
bool SaveStudioConfig(QSettings& file);

}  // namespace corvalind
