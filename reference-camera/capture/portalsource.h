// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

typedef struct _GstDevice GstDevice;

namespace refcam {

// Inside a Flatpak sandbox cameras are reached through the Camera portal only.
bool runningInSandbox();

// A PipeWire connection from the Camera portal (org.freedesktop.portal.Camera) that shows
// cameras only. The first call asks for access (the desktop may ask the user) and waits for
// the answer, at most timeoutMs; the connection is kept for the process's life. -1 with
// errorName and error set when there is no portal, no camera or access was refused.
int portalRemoteFd(QString *errorName, QString *error, int timeoutMs = 60000);

// Closes that connection: the next portalRemoteFd() asks again.
void forgetPortalRemote();

// The camera called name (display name or node.name; empty: the first) on the portal's
// connection, a new reference; null with error set, *seen listing what was there.
GstDevice *findPortalCamera(int fd, const QString &name, QString *error, QStringList *seen);

} // namespace refcam
