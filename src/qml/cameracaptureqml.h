// SPDX-License-Identifier: MIT
#ifndef CAMERACAPTUREQML_H
#define CAMERACAPTUREQML_H

#include <CameraCapture.h>

#include <QtQml/qqml.h>

// The library stays free of Qt Qml, so its class carries no QML macros: this registers
// it as it is, properties, invokables and the Outcome enum included.
struct CameraCaptureForeign
{
    Q_GADGET
    QML_FOREIGN(CameraCapture)
    QML_NAMED_ELEMENT(CameraCapture)
};

#endif
