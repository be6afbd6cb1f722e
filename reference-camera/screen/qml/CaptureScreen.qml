// SPDX-License-Identifier: MIT
// The camera's screen: the viewfinder fills it; Cancel in a corner, the mode on top, one
// round shutter (at the bottom in portrait, at the side in landscape), a timer and the
// limit's use while recording; then the review.
import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import ReferenceCamera 1.0

Rectangle {
    id: root
    objectName: "screen"
    color: "black"
    readonly property bool portrait: height > width
    readonly property real unit: camera.shutterSize / 56
    readonly property int pad: Math.round(16 * unit)

    Item {
        id: shooting
        objectName: "shooting"
        anchors.fill: parent
        visible: !camera.reviewing

        CameraPicture {
            id: viewfinder
            objectName: "viewfinder"
            anchors.fill: parent
            aspect: camera.aspect
        }
        Text {
            anchors.centerIn: parent
            visible: !viewfinder.hasImage && !camera.recording
            text: qsTr("Starting the camera\u2026")
            color: "white"
            font.pixelSize: Math.round(17 * root.unit)
        }

        PillButton {
            id: cancel
            objectName: "cancel"
            text: qsTr("Cancel")
            unit: root.unit
            enabled: !camera.busy
            anchors.left: parent.left
            anchors.top: parent.top
            anchors.margins: root.pad
            onClicked: camera.reject()
        }

        // The mode, or the running timer while recording.
        Column {
            anchors.top: parent.top
            anchors.topMargin: root.pad + (cancel.height - modePill.height) / 2
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: root.pad / 2
            Rectangle {
                id: modePill
                objectName: camera.recording ? "timer" : "mode"
                anchors.horizontalCenter: parent.horizontalCenter
                color: camera.recording ? "#e53935" : "#a0000000"
                radius: height / 2
                height: Math.round(34 * root.unit)
                width: modeText.implicitWidth + height
                Text {
                    id: modeText
                    anchors.centerIn: parent
                    color: "white"
                    font.pixelSize: Math.round((camera.recording ? 20 : 15) * root.unit)
                    font.bold: camera.recording
                    text: camera.recording ? "\u25cf " + camera.elapsed : camera.mode
                    Accessible.role: Accessible.StaticText
                    Accessible.name: camera.recording ? qsTr("Recording, %1").arg(camera.elapsed)
                                                      : camera.mode
                }
            }
            Rectangle {
                objectName: "limit"
                visible: camera.recording && camera.limitText !== ""
                anchors.horizontalCenter: parent.horizontalCenter
                color: "#a0000000"
                radius: root.pad / 2
                width: Math.max(limitLabel.implicitWidth + root.pad, 160 * root.unit)
                height: limitLabel.implicitHeight + bar.height + root.pad
                Text {
                    id: limitLabel
                    anchors.top: parent.top
                    anchors.topMargin: root.pad / 3
                    anchors.horizontalCenter: parent.horizontalCenter
                    color: "white"
                    font.pixelSize: Math.round(13 * root.unit)
                    text: camera.limitText
                    Accessible.name: qsTr("Limit used: %1").arg(camera.limitText)
                }
                Rectangle {
                    id: bar
                    anchors.left: parent.left
                    anchors.right: parent.right
                    anchors.bottom: parent.bottom
                    anchors.margins: root.pad / 2
                    height: Math.max(3, Math.round(4 * root.unit))
                    radius: height / 2
                    color: "#60ffffff"
                    Rectangle {
                        width: parent.width * camera.limitUsed
                        height: parent.height
                        radius: height / 2
                        color: camera.limitUsed > 0.9 ? "#e53935" : "white"
                    }
                }
            }
        }

        // Shutter with its hint: bottom centre in portrait, right centre in landscape.
        Column {
            id: shutterColumn
            spacing: root.pad / 2
            x: root.portrait ? (parent.width - width) / 2 : parent.width - width - root.pad * 1.5
            y: root.portrait ? parent.height - height - root.pad * 2 : (parent.height - height) / 2
            ShutterButton {
                id: shutterButton
                objectName: "shutter"
                anchors.horizontalCenter: parent.horizontalCenter
                size: Math.round(camera.shutterSize * 1.25)
                video: camera.video
                recording: camera.recording
                enabled: !camera.busy
                onClicked: camera.shutter()
            }
            Text {
                objectName: "hint"
                anchors.horizontalCenter: parent.horizontalCenter
                width: Math.min(implicitWidth, root.width - 2 * root.pad)
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
                color: "white"
                style: Text.Outline
                styleColor: "black"
                font.pixelSize: Math.round(14 * root.unit)
                text: camera.status
                Accessible.name: camera.status
            }
        }
    }

    ReviewPane {
        id: review
        objectName: "review"
        anchors.fill: parent
        visible: camera.reviewing
        unit: root.unit
    }

    // A long press on the top right corner shows the request's values.
    Item {
        objectName: "debugCorner"
        anchors.top: parent.top
        anchors.right: parent.right
        width: Math.round(72 * root.unit)
        height: width
        TapHandler {
            onLongPressed: camera.debugPanel = !camera.debugPanel
        }
    }

    Rectangle {
        id: panel
        objectName: "debugPanel"
        visible: camera.debugPanel
        color: "#d0000000"
        radius: root.pad / 2
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.topMargin: root.pad * 2 + cancel.height
        anchors.rightMargin: root.pad
        width: Math.min(parent.width - 2 * root.pad, lines.implicitWidth + 2 * root.pad)
        height: Math.min(parent.height / 2, lines.implicitHeight + hide.height + 3 * root.pad)
        clip: true
        Text {
            id: lines
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.top: parent.top
            anchors.margins: root.pad
            color: "white"
            font.family: "monospace"
            font.pixelSize: Math.round(12 * root.unit)
            wrapMode: Text.WrapAnywhere
            text: camera.requestLines.join("\n")
            Accessible.name: qsTr("Request values")
        }
        PillButton {
            id: hide
            objectName: "hideDebug"
            text: qsTr("Hide")
            unit: root.unit * 0.8
            anchors.right: parent.right
            anchors.bottom: parent.bottom
            anchors.margins: root.pad / 2
            onClicked: camera.debugPanel = false
        }
    }
}
