// SPDX-License-Identifier: MIT
#ifndef CAMERA_TEST_CSETTERS_H
#define CAMERA_TEST_CSETTERS_H

#include <CameraUIServiceCWrapper.h>

#include <QMetaType>

// The four string setters of the C API and the request key each one fills.
using SetterFn = void (*)(CameraUIService *, const char *);
Q_DECLARE_METATYPE(SetterFn)

struct CSetter
{
    SetterFn fn;
    const char *key;
};

inline const CSetter (&cSetters())[4]
{
    static const CSetter setters[4] = {
        { SetCameraFileLocation, "fileLocation" },
        { SetCameraPhotoResolution, "photoResolution" },
        { SetCameraVideoQuality, "videoQuality" },
        { SetCameraHasPostCapturedScreen, "hasPostCapturedScreen" },
    };
    return setters;
}

#endif
