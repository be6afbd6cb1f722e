// SPDX-License-Identifier: MIT
#ifndef CAMERAUISERVICECWRAPPER_H
#define CAMERAUISERVICECWRAPPER_H

#include "CameraUIService.h"
#include "camerauiservice.h"
#include "camerauiservice_export.h"

#include <QByteArray>
#include <QString>

/**
 * \file CameraUIServiceCWrapper.h
 * \brief The C entry points (camerauiservice.h) and the two that hand out Qt types.
 *
 * For C++ hosts: includes camerauiservice.h and CameraUIService.h. The two functions
 * here have C linkage like the rest but return references to `QString` and `QByteArray`.
 */
extern "C" {

/**
 * The file location: the one set, or the one the camera returned after a launch.
 *
 * Prints the trace line `GetCameraFileLocation: the fileLocation in GetCameraFileLocation
 * is <location>`.
 *
 * \param service \notnull the service; for a null handle, a reference to an empty
 *        value that is empty again at the next call.
 * \return \transfernone a reference to the service's own member: valid until
 *         DestroyCameraDlg(), and it shows later changes.
 * \guithread
 */
CAMERAUISERVICE_EXPORT QString &GetCameraFileLocation(CameraUIService *service);
/**
 * Reads the file at the file location into the service's buffer and returns the buffer.
 *
 * The rules are those of GetCameraDataBytes(); the trace ends with
 * `GetCameraData:the size for data is:<bytes>`. The path is the location in UTF-8.
 *
 * \param service \notnull the service; for a null handle, a reference to an empty
 *        value that is empty again at the next call.
 * \return \transfernone a reference to the service's own buffer: valid until
 *         DestroyCameraDlg(), and it shows later reads.
 * \guithread
 */
CAMERAUISERVICE_EXPORT QByteArray &GetCameraData(CameraUIService *service);
}

#endif
