// SPDX-License-Identifier: MIT
// Capture from Qt Quick with the CameraUIService module. Run it with Debian's qml tool
// (package qml-qt6):
//     /usr/lib/qt6/bin/qml examples/qml-capture/main.qml
// From a build tree, add -I build/qml (or set QML_IMPORT_PATH) so the module is found.
// Without a display, set QT_QPA_PLATFORM=offscreen. The qml tool hands the example only
// the arguments after "--": --auto-capture takes a photo and then a video at start;
// --grab FILE then saves the window to FILE and quits (status 0 when both were accepted).
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import CameraUIService

ApplicationWindow {
    id: window
    width: 560
    height: 600
    visible: true
    title: "Capture from QML"

    readonly property var args: Qt.application.arguments
    readonly property bool autoCapture: args.indexOf("--auto-capture") >= 0
    readonly property string grabFile: {
        const at = args.indexOf("--grab");
        return at >= 0 && at + 1 < args.length ? args[at + 1] : "";
    }

    // The words camera-capture uses for each outcome (see CameraCapture::Outcome).
    function outcomeText(capture) {
        switch (capture.outcome) {
        case CameraCapture.NoOutcome:
            return capture.waiting ? "waiting for the camera…" : "nothing captured yet";
        case CameraCapture.Accepted:
            return "accepted";
        case CameraCapture.Rejected:
            return "rejected: " + capture.actionReturn;
        case CameraCapture.Cancelled:
            return "cancelled";
        case CameraCapture.TimedOut:
            return "timed out after " + capture.timeout + " ms";
        case CameraCapture.Interrupted:
            return "interrupted: the application left its event loop before the camera answered";
        case CameraCapture.NoCamera:
            return "no camera application serves CameraUIService: is one installed?";
        case CameraCapture.CameraFailed:
            return "the camera application failed (it crashed, left, or answered with an error)";
        case CameraCapture.Forged:
            return "refused a reply from a program that is not the camera application";
        case CameraCapture.NoBus:
            return "no D-Bus session bus: is DBUS_SESSION_BUS_ADDRESS set?";
        case CameraCapture.Refused:
            return "not started";
        case CameraCapture.Failed:
            return "failed";
        default:
            return capture.outcomeName(capture.outcome);
        }
    }

    CameraCapture {
        id: photo
        photoResolution: "640x480"
        onFinished: accepted => {
            // A new file each time: drop the old picture first.
            preview.source = "";
            if (accepted)
                preview.source = "file://" + fileLocation;
            if (window.autoCapture)
                video.start();
        }
    }

    CameraCapture {
        id: video
        cameraType: CameraCapture.Video
        videoQuality: "MEDIUM"
        videoSizeLimitation: 300000
        property int bytes: 0
        onFinished: accepted => {
            bytes = accepted ? data().byteLength : 0;
            if (window.grabFile !== "")
                window.grabAndQuit();
        }
    }

    function grabAndQuit() {
        const ok = photo.outcome === CameraCapture.Accepted && video.outcome === CameraCapture.Accepted;
        page.grabToImage(result => {
                const saved = result.saveToFile(window.grabFile);
                if (!saved)
                    console.warn("cannot write", window.grabFile);
                Qt.exit(ok && saved ? 0 : 1);
            });
    }

    Component.onCompleted: {
        // The resolutions the camera offers fill the picker when its answer comes.
        photo.refreshCapabilities();
        if (autoCapture)
            photo.start();
    }

    Pane {
        id: page
        anchors.fill: parent
        padding: 16

        ColumnLayout {
            anchors.fill: parent
            spacing: 10

            Label {
                text: "Photo"
                font.bold: true
                font.pixelSize: 18
            }
            RowLayout {
                Button {
                    text: "Take a photo"
                    enabled: !photo.waiting
                    onClicked: photo.start()
                }
                ComboBox {
                    id: resolutionPicker
                    // "MAX" and the camera's sizes, largest first; the current setting
                    // alone while the camera has not answered (or does not tell).
                    model: {
                        const offered = photo.capabilities.photoResolutions;
                        if (!offered || offered.length === 0)
                            return [photo.photoResolution];
                        const list = Array.from(offered);
                        if (list.indexOf(photo.photoResolution) < 0)
                            list.push(photo.photoResolution);
                        return list;
                    }
                    currentIndex: Math.max(0, model.indexOf(photo.photoResolution))
                    enabled: !photo.waiting
                    onActivated: index => photo.photoResolution = model[index]
                }
                Button {
                    text: "Cancel"
                    visible: photo.waiting
                    onClicked: photo.cancel()
                }
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: "Outcome: " + window.outcomeText(photo) + (photo.errorMessage !== "" ? " (" + photo.errorMessage + ")" : "")
            }
            Label {
                // What the camera could not honour, e.g. { photoResolution: "MAX" }.
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                visible: Object.keys(photo.settingsUsed).length > 0
                text: "The camera used " + Object.keys(photo.settingsUsed).map(key => key + " " + photo.settingsUsed[key]).join(", ")
            }
            Image {
                id: preview
                Layout.fillWidth: true
                Layout.fillHeight: true
                fillMode: Image.PreserveAspectFit
                cache: false
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.WrapAnywhere
                visible: photo.outcome === CameraCapture.Accepted
                text: photo.fileLocation
            }

            Label {
                text: "Video"
                font.bold: true
                font.pixelSize: 18
            }
            RowLayout {
                Button {
                    text: "Record a short video"
                    enabled: !video.waiting
                    onClicked: video.start()
                }
                Button {
                    text: "Cancel"
                    visible: video.waiting
                    onClicked: video.cancel()
                }
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: "Outcome: " + window.outcomeText(video) + (video.errorMessage !== "" ? " (" + video.errorMessage + ")" : "")
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.WrapAnywhere
                visible: video.outcome === CameraCapture.Accepted
                text: video.fileLocation + "\n" + video.bytes + " bytes"
            }
        }
    }
}
