import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Templates as T

// A modal alert: a title, a text, an optional field and two buttons. The first button is the safe
// one; `defaultAccept` makes the second the one that Return presses. Escape rejects.
Dialog {
    id: alert
    property string message
    property string informative
    property string cancelText
    property string acceptText
    property bool critical: false
    property bool withField: false
    property bool defaultAccept: false
    property alias placeholder: field.placeholderText
    property alias typed: field.text

    modal: true
    focus: true
    closePolicy: Popup.CloseOnEscape
    anchors.centerIn: T.Overlay.overlay
    width: Math.min(480, (parent ? parent.width : 480) - 48)
    padding: 24
    topPadding: 24
    bottomPadding: 16

    onAboutToShow: {
        if (withField) { field.text = ""; field.forceActiveFocus() }
        else if (defaultAccept) acceptButton.forceActiveFocus()
        else cancelButton.forceActiveFocus()
    }

    background: Rectangle {
        radius: 14
        color: Theme.card
        border.color: Theme.border
    }
    T.Overlay.modal: Rectangle { color: "#5a000000" }

    contentItem: ColumnLayout {
        spacing: 12
        Accessible.role: Accessible.AlertMessage
        Accessible.name: alert.message
        Accessible.description: alert.informative
        RowLayout {
            spacing: 12
            Layout.fillWidth: true
            Symbol {
                visible: alert.critical
                name: "warning-filled"
                colour: Theme.warning
                size: 28
                Layout.alignment: Qt.AlignTop
            }
            Label {
                objectName: "alertMessage"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: alert.message
                font.weight: Font.Bold
                font.pointSize: Theme.bodyPoints * 1.15
                color: Theme.text
            }
        }
        Label {
            objectName: "alertText"
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            text: alert.informative
            color: Theme.text
            visible: text !== ""
        }
        TextField {
            id: field
            objectName: "alertField"
            visible: alert.withField
            Layout.preferredWidth: 280
            Layout.maximumWidth: parent.width
            Accessible.name: placeholderText
            selectByMouse: true
            color: Theme.text
            placeholderTextColor: Theme.faint
            onAccepted: alert.accept()
            background: Rectangle {
                implicitHeight: 36
                radius: 8
                color: Theme.card
                border.width: field.activeFocus ? 2 : 1
                border.color: field.activeFocus ? Theme.focus : Theme.border
            }
        }
    }
    footer: Item {
        implicitHeight: buttons.implicitHeight + 24
        RowLayout {
            id: buttons
            anchors.right: parent.right
            anchors.rightMargin: 24
            anchors.top: parent.top
            spacing: 8
            KButton {
                id: cancelButton
                objectName: "alertCancel"
                visible: alert.cancelText !== ""
                text: alert.cancelText
                prominent: !alert.defaultAccept && !alert.withField
                onClicked: alert.reject()
            }
            KButton {
                id: acceptButton
                objectName: "alertAccept"
                text: alert.acceptText
                prominent: alert.defaultAccept || alert.withField
                onClicked: alert.accept()
            }
        }
    }
}
