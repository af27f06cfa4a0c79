import QtQuick

// One bundled line symbol; decorative, so screen readers skip it.
Image {
    property string name
    property color colour: Theme.text
    property int size: 20

    source: name === "" ? "" : Theme.icon(name, colour)
    sourceSize: Qt.size(size, size)
    width: size
    height: size
    fillMode: Image.PreserveAspectFit
    Accessible.ignored: true
}
