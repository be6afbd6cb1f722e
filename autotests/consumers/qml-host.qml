// SPDX-License-Identifier: MIT
// The installed module: one capture through the installed camera, exit status 0 when it
// was accepted.
import QtQuick
import CameraUIService

Item {
    CameraCapture {
        id: capture
        photoResolution: "32x24"
        onFinished: accepted => {
            console.log("qml-host:", accepted ? "accepted" : "not accepted", capture.outcome, capture.fileLocation);
            Qt.exit(accepted && capture.outcome === CameraCapture.Accepted ? 0 : 1);
        }
    }
    Component.onCompleted: {
        if (!capture.start())
            Qt.exit(1);
    }
}
