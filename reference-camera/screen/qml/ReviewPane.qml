// SPDX-License-Identifier: MIT
// After the shutter: the photo (fit; pinch or double-tap to zoom) or the clip with
// play/pause, a scrub bar and its length; Retake, Reject and Accept.
import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import ReferenceCamera 1.0

Item {
    id: pane
    property real unit: 1
    property bool portrait: height > width
    readonly property var player: camera.player
    readonly property int pad: Math.round(16 * unit)

    function clock(ms) {
        var s = Math.floor(ms / 1000)
        return ("0" + Math.floor(s / 60)).slice(-2) + ":" + ("0" + (s % 60)).slice(-2)
    }

    Item {
        id: stage
        anchors.fill: parent
        clip: true
        CameraPicture {
            id: picture
            objectName: "reviewPicture"
            width: stage.width
            height: stage.height
            aspect: camera.video ? 0 : camera.aspect
            transformOrigin: Item.Center
            Behavior on scale { enabled: !pinch.active; NumberAnimation { duration: 150 } }
        }
        PinchHandler {
            id: pinch
            target: picture
            enabled: !camera.video
            minimumScale: 1
            maximumScale: 6
            onActiveChanged: if (!active && picture.scale <= 1.01) { picture.x = 0; picture.y = 0 }
        }
        TapHandler {
            objectName: "reviewTap"
            onDoubleTapped: {
                if (camera.video)
                    return
                picture.scale = picture.scale > 1.01 ? 1 : 2.5
                picture.x = 0
                picture.y = 0
            }
            onTapped: if (camera.video && pane.player) pane.player.toggle()
        }
    }

    // Player controls: play/pause, the scrub bar, position and length.
    Rectangle {
        id: playerBar
        visible: camera.video
        color: "#a0000000"
        radius: height / 2
        height: Math.round(56 * unit)
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: actions.top
        anchors.margins: pane.pad
        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: pane.pad / 2
            anchors.rightMargin: pane.pad
            spacing: pane.pad / 2
            AbstractButton {
                id: playButton
                objectName: "play"
                focusPolicy: Qt.NoFocus
                Layout.preferredWidth: playerBar.height - pane.pad / 2
                Layout.preferredHeight: Layout.preferredWidth
                Accessible.role: Accessible.Button
                Accessible.name: pane.player && pane.player.playing ? qsTr("Pause") : qsTr("Play")
                onClicked: if (pane.player) pane.player.toggle()
                contentItem: Text {
                    text: pane.player && pane.player.playing ? "\u275a\u275a" : "\u25b6"
                    color: "white"
                    font.pixelSize: Math.round(22 * pane.unit)
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                }
                background: Rectangle {
                    radius: width / 2
                    color: playButton.down ? "#60ffffff" : "#30ffffff"
                }
            }
            Slider {
                id: scrub
                objectName: "scrub"
                Layout.fillWidth: true
                focusPolicy: Qt.NoFocus
                from: 0
                to: pane.player ? Math.max(1, pane.player.duration) : 1
                value: pane.player ? pane.player.position : 0
                Accessible.name: qsTr("Position in the clip")
                onMoved: if (pane.player) pane.player.seek(value)
            }
            Text {
                objectName: "length"
                color: "white"
                font.pixelSize: Math.round(15 * pane.unit)
                font.family: "monospace"
                text: pane.player ? pane.clock(pane.player.position) + " / "
                                    + pane.clock(pane.player.duration) : ""
                Accessible.name: qsTr("Position and length")
            }
        }
    }

    Row {
        id: actions
        anchors.bottom: parent.bottom
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottomMargin: pane.pad * 1.5
        spacing: pane.pad
        PillButton {
            objectName: "retake"
            text: qsTr("Retake")
            unit: pane.unit
            onClicked: camera.retake()
        }
        PillButton {
            objectName: "reject"
            text: qsTr("Reject")
            unit: pane.unit
            onClicked: camera.reject()
        }
        PillButton {
            objectName: "accept"
            text: qsTr("Accept")
            primary: true
            unit: pane.unit
            onClicked: camera.accept()
        }
    }
}
