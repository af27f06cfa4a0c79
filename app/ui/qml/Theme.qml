pragma Singleton
import QtQuick

// The palette and the spacing grid of the whole window. Light colours always; the accent marks
// the prominent action and the current step, nothing else.
QtObject {
    readonly property color accent: "#e40046"
    readonly property color accentDown: "#bd003a"
    readonly property color window: "#f6f6f7"
    readonly property color bar: "#ffffff"
    readonly property color card: "#ffffff"
    readonly property color border: "#dcdce1"
    readonly property color divider: "#e3e3e7"
    readonly property color text: "#1d1d21"
    readonly property color subtle: "#62626b"
    readonly property color faint: "#9a9aa2"
    readonly property color tile: "#f0f0f3"
    readonly property color hover: "#f5f5f7"
    readonly property color down: "#e8e8ec"
    readonly property color chosen: "#f2f2f5"
    readonly property color focus: "#44444c"
    readonly property color success: "#268a47"
    readonly property color warning: "#b35900"
    readonly property color warningFill: "#fff6e8"
    readonly property color warningBorder: "#f0cf9b"

    // The desktop's body size; titles scale from it.
    readonly property real bodyPoints: Qt.application.font.pointSize > 0 ? Qt.application.font.pointSize : 10

    readonly property int unit: 8
    readonly property int radius: 10
    readonly property int pageWidth: 720

    // A bundled symbol in a colour, for Image.source.
    function icon(name, colour) {
        return "image://icon/" + name + "/" + String(colour).substring(1, 7)
    }
}
