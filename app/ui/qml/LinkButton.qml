import QtQuick
import QtQuick.Controls.Basic

// A quiet text action: underlined text, optionally followed by a symbol.
AbstractButton {
    id: control
    property string symbol: ""
    property color colour: Theme.text

    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Link
    Accessible.name: text
    padding: 4
    Keys.onShortcutOverride: (event) => {
        event.accepted = event.key === Qt.Key_Return || event.key === Qt.Key_Enter
    }
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    contentItem: Row {
        spacing: 4
        Label {
            text: control.text
            font.underline: true
            font.weight: Font.Medium
            color: control.enabled ? control.colour : Theme.faint
            anchors.verticalCenter: parent.verticalCenter
        }
        Symbol {
            visible: control.symbol !== ""
            name: control.symbol
            size: 14
            colour: control.colour
            anchors.verticalCenter: parent.verticalCenter
        }
    }
    background: Rectangle {
        radius: 6
        color: control.down ? Theme.down : control.hovered ? Theme.hover : "transparent"
        border.width: control.visualFocus ? 2 : 0
        border.color: Theme.focus
    }
}
