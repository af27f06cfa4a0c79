import QtQuick
import QtQuick.Controls.Basic
import Korvex.Imager.Backend

// The model's error, above the page, while there is one.
Rectangle {
    objectName: "banner"
    visible: Model.error !== ""
    width: parent ? parent.width : 400
    implicitHeight: visible ? note.implicitHeight + 24 : 0
    radius: Theme.radius
    color: Theme.warningFill
    border.color: Theme.warningBorder
    Accessible.role: Accessible.AlertMessage
    Accessible.name: Model.error

    Note {
        id: note
        objectName: "bannerText"
        x: 12
        y: 12
        width: parent.width - 24
        symbol: "warning-filled"
        colour: Theme.warning
        text: Model.error
        textColour: Theme.text
    }
}
