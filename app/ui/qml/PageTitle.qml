import QtQuick
import QtQuick.Controls.Basic

// The one title of a page.
Label {
    width: parent ? parent.width : implicitWidth
    font.pointSize: Theme.bodyPoints * 1.6
    font.weight: Font.Bold
    color: Theme.text
    wrapMode: Text.Wrap
    Accessible.role: Accessible.Heading
}
