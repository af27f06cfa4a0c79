import QtQuick
import QtQuick.Controls.Basic

// A push button of the window: neutral, or prominent in the accent colour. Return and Enter
// press it while it has the focus.
Button {
    id: control
    property bool prominent: false
    property string symbol: ""

    focusPolicy: Qt.StrongFocus
    Accessible.name: text
    padding: 8
    leftPadding: 16
    rightPadding: 16
    implicitHeight: Math.max(36, implicitContentHeight + topPadding + bottomPadding)

    Keys.onShortcutOverride: (event) => {
        event.accepted = event.key === Qt.Key_Return || event.key === Qt.Key_Enter
    }
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    contentItem: Row {
        spacing: 8
        Symbol {
            visible: control.symbol !== ""
            name: control.symbol
            size: 16
            anchors.verticalCenter: parent.verticalCenter
            colour: control.prominent ? "#ffffff" : (control.enabled ? Theme.text : Theme.faint)
        }
        Label {
            text: control.text
            font: control.font
            color: control.prominent ? "#ffffff" : (control.enabled ? Theme.text : Theme.faint)
            anchors.verticalCenter: parent.verticalCenter
        }
    }
    background: Rectangle {
        radius: 8
        color: control.prominent
               ? (!control.enabled ? "#f2a6bd" : control.down ? Theme.accentDown : Theme.accent)
               : (control.down ? Theme.down : control.hovered && control.enabled ? Theme.hover : Theme.card)
        border.width: control.visualFocus ? 2 : (control.prominent ? 0 : 1)
        border.color: control.visualFocus ? Theme.focus : Theme.border
    }
}
