// SPDX-License-Identifier: MIT
// The round shutter: a white disc for photos, a red one for video that turns into a
// rounded square (stop) while recording.
import QtQuick 2.15
import QtQuick.Controls 2.15

AbstractButton {
    id: control
    property bool video: false
    property bool recording: false
    property int size: 56
    focusPolicy: Qt.NoFocus
    implicitWidth: size
    implicitHeight: size
    Accessible.role: Accessible.Button
    Accessible.name: !video ? qsTr("Take photo") : recording ? qsTr("Stop recording")
                                                           : qsTr("Start recording")
    background: Rectangle {
        radius: width / 2
        color: "transparent"
        border.color: "white"
        border.width: Math.max(3, Math.round(control.size / 14))
    }
    contentItem: Item {
        Rectangle {
            anchors.centerIn: parent
            width: control.recording ? control.size * 0.38 : control.size * 0.76
            height: width
            radius: control.recording ? width * 0.18 : width / 2
            color: control.video ? (control.down ? "#b02020" : "#e53935")
                                 : (control.down ? "#bbbbbb" : "white")
            Behavior on width { NumberAnimation { duration: 120 } }
        }
    }
}
