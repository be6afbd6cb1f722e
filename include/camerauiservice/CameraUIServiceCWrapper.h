// SPDX-License-Identifier: MIT
#ifndef CAMERAUISERVICECWRAPPER_H
#define CAMERAUISERVICECWRAPPER_H

#include "CameraUIService.h"
#include "camerauiservice.h"
#include "camerauiservice_export.h"

#include <QByteArray>
#include <QString>

// The C entry points (camerauiservice.h) and the two that hand out Qt types.
extern "C" {

// These refer to the service's own members: valid until DestroyCameraDlg, and they show
// later changes.
CAMERAUISERVICE_EXPORT QString &GetCameraFileLocation(CameraUIService *service);
CAMERAUISERVICE_EXPORT QByteArray &GetCameraData(CameraUIService *service);
}

#endif
