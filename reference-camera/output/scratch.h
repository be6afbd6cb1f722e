// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace refcam {

// This camera's own folder for what waits on the user (a clip recorded in the window):
// <runtime folder>/reference-camera/<pid>, mode 0700, never a folder the host named.
// Empty with error set when it cannot be made.
QString scratchFolder(QString *error);

// Removes what cameras that are gone left behind: their scratch folders, and in folder the
// hidden ".name.<pid>-<random>.part" files of this user whose writer no longer runs. Only
// a file system without O_TMPFILE leaves such files.
void removeStaleParts(const QString &folder);
void removeStaleScratch();
// This camera's scratch folder, with what is left in it (clips nobody decided on).
void removeScratchFolder();

} // namespace refcam
