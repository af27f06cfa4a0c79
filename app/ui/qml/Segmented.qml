import QtQuick
import QtQuick.Controls.Basic

// A row of joined choices; `current` is the value of the checked one. Choosing one emits picked.
Row {
    id: group
    property var options: []      // [{ label, value }]
    property string current: ""
    signal picked(string value)

    spacing: -1
    Repeater {
        model: group.options
        delegate: AbstractButton {
            id: choice
            required property var modelData
            required property int index
            readonly property bool first: index === 0
            readonly property bool last: index === group.options.length - 1

            text: modelData.label
            checkable: true
            checked: group.current === modelData.value
            focusPolicy: Qt.StrongFocus
            Accessible.role: Accessible.RadioButton
            Accessible.name: text
            Accessible.checked: checked
            implicitHeight: 36
            implicitWidth: label.implicitWidth + 32
            onClicked: group.picked(modelData.value)
            Keys.onShortcutOverride: (event) => {
                event.accepted = event.key === Qt.Key_Return || event.key === Qt.Key_Enter
            }
            Keys.onReturnPressed: clicked()
            Keys.onEnterPressed: clicked()

            contentItem: Label {
                id: label
                text: choice.text
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
                font.weight: choice.checked ? Font.DemiBold : Font.Normal
                color: choice.checked ? "#ffffff" : Theme.text
            }
            background: Item {
                // Only the outer ends are rounded.
                Rectangle {
                    anchors.fill: parent
                    radius: 8
                    color: choice.checked ? Theme.text : choice.down ? Theme.down
                                          : choice.hovered ? Theme.hover : Theme.card
                    border.color: choice.checked ? Theme.text : Theme.border
                }
                Rectangle {
                    visible: !choice.first
                    anchors { left: parent.left; top: parent.top; bottom: parent.bottom }
                    width: 10
                    color: choice.checked ? Theme.text : choice.down ? Theme.down
                                          : choice.hovered ? Theme.hover : Theme.card
                    border.color: choice.checked ? Theme.text : Theme.border
                    Rectangle { anchors { right: parent.right; top: parent.top; bottom: parent.bottom; topMargin: 1; bottomMargin: 1 } width: 1; color: parent.color }
                }
                Rectangle {
                    visible: !choice.last
                    anchors { right: parent.right; top: parent.top; bottom: parent.bottom }
                    width: 10
                    color: choice.checked ? Theme.text : choice.down ? Theme.down
                                          : choice.hovered ? Theme.hover : Theme.card
                    border.color: choice.checked ? Theme.text : Theme.border
                    Rectangle { anchors { left: parent.left; top: parent.top; bottom: parent.bottom; topMargin: 1; bottomMargin: 1 } width: 1; color: parent.color }
                }
                Rectangle {
                    anchors.fill: parent
                    anchors.margins: 2
                    radius: 6
                    visible: choice.visualFocus
                    color: "transparent"
                    border.width: 2
                    border.color: choice.checked ? "#ffffff" : Theme.focus
                }
            }
        }
    }
}
