import QtQuick
import QtQuick.Controls.Basic

// A line with a symbol in front: notices, warnings and hints.
Item {
    id: note
    property string symbol: "info"
    property color colour: Theme.subtle
    property alias text: label.text
    property alias textColour: label.color

    width: parent ? parent.width : 400
    implicitHeight: Math.max(icon.height, label.implicitHeight)
    Symbol {
        id: icon
        name: note.symbol
        colour: note.colour
        size: 18
        y: 1
    }
    Label {
        id: label
        x: icon.width + 8
        width: note.width - x
        wrapMode: Text.Wrap
        color: Theme.subtle
    }
}
