// SPDX-License-Identifier: MIT
// A text button readable over any picture: white on a dark, rounded pill.
import QtQuick 2.15
import QtQuick.Controls 2.15

Button {
    id: control
    property real unit: 1
    property bool primary: false
    focusPolicy: Qt.NoFocus // the window owns Space and Enter
    implicitHeight: Math.round(48 * unit)
    implicitWidth: Math.max(implicitHeight * 2, label.implicitWidth + implicitHeight)
    Accessible.name: text
    contentItem: Text {
        id: label
        text: control.text
        color: control.primary ? "black" : "white"
        font.pixelSize: Math.round(17 * control.unit)
        font.bold: true
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Rectangle {
        radius: height / 2
        color: control.primary ? (control.down ? "#cccccc" : "white")
                               : (control.down ? "#c0333333" : "#a0000000")
        border.color: "white"
        border.width: Math.max(1, Math.round(1.5 * control.unit))
    }
}
