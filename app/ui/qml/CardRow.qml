import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// A whole-width choice: symbol, title, grey subtitle and a chevron.
AbstractButton {
    id: row
    property string symbol: ""
    property string title: ""
    property string subtitle: ""
    property bool chevron: true

    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: title
    Accessible.description: subtitle
    implicitHeight: Math.max(64, layout.implicitHeight + 24)
    Keys.onShortcutOverride: (event) => {
        event.accepted = event.key === Qt.Key_Return || event.key === Qt.Key_Enter
    }
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    background: Rectangle {
        radius: Theme.radius + 2
        color: row.down ? Theme.down : row.hovered ? Theme.hover : Theme.card
        border.width: row.visualFocus ? 2 : 1
        border.color: row.visualFocus ? Theme.focus : Theme.border
    }
    contentItem: Item {
        RowLayout {
            id: layout
            anchors.fill: parent
            anchors.leftMargin: 16
            anchors.rightMargin: 16
            spacing: 16
            Rectangle {
                visible: row.symbol !== ""
                Layout.preferredWidth: 40
                Layout.preferredHeight: 40
                radius: 10
                color: Theme.tile
                Symbol {
                    anchors.centerIn: parent
                    name: row.symbol
                    size: 22
                }
            }
            Column {
                Layout.fillWidth: true
                spacing: 2
                Label {
                    width: parent.width
                    text: row.title
                    font.weight: Font.DemiBold
                    color: Theme.text
                    wrapMode: Text.Wrap
                }
                Label {
                    width: parent.width
                    visible: text !== ""
                    text: row.subtitle
                    color: Theme.subtle
                    wrapMode: Text.Wrap
                }
            }
            Symbol {
                visible: row.chevron
                name: "chevron-right"
                size: 18
                colour: Theme.faint
            }
        }
    }
}
