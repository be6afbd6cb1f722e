// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace refcam {

// The failureReason a host may show its user for a capture that could not be saved at
// path: "cannot save /x/y.jpg: the folder /x does not exist". technical is what went
// wrong in the camera's own terms (users, descriptors, system calls); it belongs in the
// camera's log, and only picks the plain cause here. Problems with what the host sent (a
// relative path, a bad descriptor) are already in the host's terms and come back as they
// are.
QString hostReason(const QString &path, const QString &technical, bool throughDescriptor);

// What can be done about a write the system refused (a full disk, a quota, the file size
// limit, a failing disk) whose words technical holds, or empty.
QString writeRemedy(const QString &technical);

} // namespace refcam
