import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Korvex.Imager.Backend

// Back, the title, the step indicator and the language switch.
Rectangle {
    id: header
    readonly property bool zh: Model.chinese
    readonly property int step: Model.page === Model.Prepare ? 2
                              : (Model.page === Model.Progress || Model.page === Model.Complete) ? 3 : 1
    readonly property var stepNames: zh ? ["选择镜像", "制作 U 盘", "写入与校验"]
                                        : ["Choose image", "Prepare USB", "Write & verify"]
    // The widest variant that fits: with the step names, else the count alone.
    readonly property bool named: steps.implicitWidth + count.implicitWidth + 16 <= stepArea.width

    objectName: "header"
    implicitHeight: 56
    color: Theme.bar

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 12
        anchors.rightMargin: 16
        spacing: 8

        ToolButton {
            id: back
            objectName: "backButton"
            enabled: Model.page !== Model.Home && !Model.busy
            focusPolicy: Qt.StrongFocus
            Accessible.name: header.zh ? "返回" : "Back"
            ToolTip.visible: hovered
            ToolTip.delay: 600
            ToolTip.text: Accessible.name
            onClicked: Model.back()
            Keys.onShortcutOverride: (event) => {
                event.accepted = event.key === Qt.Key_Return || event.key === Qt.Key_Enter
            }
            Keys.onReturnPressed: clicked()
            implicitWidth: 36
            implicitHeight: 36
            contentItem: Item {
                Symbol {
                    anchors.centerIn: parent
                    name: "chevron-left"
                    colour: back.enabled ? Theme.text : Theme.faint
                }
            }
            background: Rectangle {
                radius: 8
                color: back.down ? Theme.down : back.hovered && back.enabled ? Theme.hover : "transparent"
                border.width: back.visualFocus ? 2 : 0
                border.color: Theme.focus
            }
        }
        Label {
            text: "Korvex Imager"
            font.weight: Font.Bold
            font.pointSize: Theme.bodyPoints * 1.15
            color: Theme.text
            Accessible.role: Accessible.Heading
        }
        Item {
            id: stepArea
            Layout.fillWidth: true
            Layout.fillHeight: true

            Row {
                objectName: "stepIndicator"
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                spacing: 16
                Accessible.role: Accessible.StaticText
                Accessible.name: count.text

                Label {
                    id: count
                    objectName: "stepText"
                    anchors.verticalCenter: parent.verticalCenter
                    text: (header.zh ? "第 " : "Step ") + header.step + " / 3"
                    color: Theme.subtle
                }
                Row {
                    id: steps
                    visible: header.named
                    spacing: 12
                    anchors.verticalCenter: parent.verticalCenter
                    Repeater {
                        model: 3
                        delegate: Row {
                            required property int index
                            readonly property bool current: index + 1 === header.step
                            readonly property bool reached: index + 1 <= header.step
                            spacing: 6
                            Rectangle {
                                width: 22
                                height: 22
                                radius: 11
                                anchors.verticalCenter: parent.verticalCenter
                                color: parent.current ? Theme.accent : parent.reached ? Theme.text : "transparent"
                                border.color: parent.reached ? "transparent" : Theme.faint
                                Label {
                                    anchors.centerIn: parent
                                    text: index + 1
                                    font.pointSize: Theme.bodyPoints * 0.85
                                    font.weight: Font.DemiBold
                                    color: parent.parent.reached ? "#ffffff" : Theme.subtle
                                }
                            }
                            Label {
                                objectName: "stepName" + index
                                anchors.verticalCenter: parent.verticalCenter
                                text: header.stepNames[index]
                                font.weight: parent.current ? Font.DemiBold : Font.Normal
                                color: parent.current ? Theme.accent : parent.reached ? Theme.text : Theme.subtle
                            }
                        }
                    }
                }
            }
        }
        Button {
            id: language
            objectName: "languageButton"
            text: header.zh ? "EN" : "中文"
            focusPolicy: Qt.StrongFocus
            Accessible.name: text
            onClicked: Model.chinese = !Model.chinese
            Keys.onShortcutOverride: (event) => {
                event.accepted = event.key === Qt.Key_Return || event.key === Qt.Key_Enter
            }
            Keys.onReturnPressed: clicked()
            implicitHeight: 32
            leftPadding: 12
            rightPadding: 12
            contentItem: Label {
                text: language.text
                font.weight: Font.DemiBold
                font.family: "Noto Sans CJK SC"
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
                color: Theme.text
            }
            background: Rectangle {
                radius: 8
                color: language.down ? Theme.down : language.hovered ? Theme.hover : Theme.card
                border.width: language.visualFocus ? 2 : 1
                border.color: language.visualFocus ? Theme.focus : Theme.border
            }
        }
    }
    Rectangle {
        anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
        height: 1
        color: Theme.divider
    }
}
