#pragma once

#include <QFileDevice>

// The camera's files (pictures, logs, the configuration) belong to its users' group and to
// no one else, whatever the writer's umask: owner and group read and write, others nothing.
// On an open file it sets the mode of what was opened (a QSaveFile's new file before the
// rename), on a closed QFile that of the file its name leads to. Returns false when the mode
// could not be set (a file of another user, for one).
inline bool setGroupFileMode(QFileDevice& file)
{
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                               QFileDevice::ReadGroup | QFileDevice::WriteGroup);
}
