// SPDX-License-Identifier: MIT
// A host outside the source tree, built against the installed library only.
#include <camerauiservice/CameraUIServiceCWrapper.h>

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    CameraUIService *service = CreateCameraUIService(1, 0);
    SetCameraPhotoResolution(service, "8x8");
    const int accepted = Exec(service);
    const QByteArray location = GetCameraFileLocation(service).toLocal8Bit();
    const int size = int(GetCameraData(service).size());
    DestroyCameraDlg(service);
    fprintf(
        stderr, "host: accepted=%d location=%s bytes=%d\n", accepted, location.constData(), size);
    return accepted == 1 && size > 0 ? 0 : 1;
}
