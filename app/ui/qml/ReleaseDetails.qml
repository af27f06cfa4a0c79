import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Korvex.Imager.Backend

// The release facts of a catalogue image, each value selectable, and the link to its notes.
Column {
    id: details
    property var image: ({})
    readonly property bool zh: Model.chinese

    spacing: 8
    width: parent ? parent.width : 400

    GridLayout {
        width: details.width
        columns: 2
        columnSpacing: 16
        rowSpacing: 4
        Repeater {
            model: details.image.releaseDetails || []
            delegate: Label {
                required property var modelData
                required property int index
                Layout.row: index
                Layout.column: 0
                Layout.alignment: Qt.AlignTop
                text: modelData.label
                color: Theme.subtle
            }
        }
        Repeater {
            model: details.image.releaseDetails || []
            delegate: TextEdit {
                required property var modelData
                required property int index
                Layout.row: index
                Layout.column: 1
                Layout.fillWidth: true
                text: modelData.value
                readOnly: true
                selectByMouse: true
                wrapMode: TextEdit.Wrap
                color: Theme.text
                font: Qt.application.font
                Accessible.name: modelData.label + " " + modelData.value
            }
        }
    }
    LinkButton {
        visible: details.image.changelogSafe === true
        text: details.zh ? "更新日志" : "What's new?"
        symbol: "arrow-up-right"
        onClicked: Model.open(details.image.changelogPath)
    }
}
