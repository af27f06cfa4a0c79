import QtQuick
import QtQuick.Controls.Basic
import Korvex.Imager.Backend

Column {
    id: page
    readonly property bool zh: Model.chinese
    readonly property var suggestion: (Model.chinese, Model.recommendation)

    objectName: "hardwarePage"
    spacing: 24

    PageTitle {
        text: Model.other ? (page.zh ? "为其他设备选择版本" : "Choose for another device")
                          : (page.zh ? "为本机选择版本" : "Choose for this computer")
    }
    Column {
        width: page.width
        spacing: 8
        Label {
            text: page.zh ? "处理器型号" : "Processor model"
            font.weight: Font.DemiBold
            color: Theme.text
        }
        TextField {
            id: cpuField
            objectName: "cpuField"
            width: Math.min(page.width, 520)
            text: Model.cpu
            placeholderText: page.zh ? "例如 Intel N100、AMD Ryzen 7 6800H" : "For example Intel N100 or AMD Ryzen 7 6800H"
            Accessible.name: page.zh ? "处理器型号" : "Processor model"
            selectByMouse: true
            onTextEdited: Model.cpu = text
            color: Theme.text
            placeholderTextColor: Theme.faint
            background: Rectangle {
                implicitHeight: 36
                radius: 8
                color: Theme.card
                border.width: cpuField.activeFocus ? 2 : 1
                border.color: cpuField.activeFocus ? Theme.focus : Theme.border
            }
        }
        Flow {
            width: page.width
            spacing: 8
            visible: Model.cpuSuggestions.length > 0
            Repeater {
                model: Model.cpuSuggestions
                delegate: LinkButton {
                    required property string modelData
                    text: modelData
                    onClicked: Model.cpu = modelData
                }
            }
        }
    }
    Column {
        width: page.width
        spacing: 8
        Label {
            text: page.zh ? "连接显示器的显卡" : "Graphics driving the display"
            font.weight: Font.DemiBold
            color: Theme.text
        }
        Flow {
            width: page.width
            spacing: 16
            Segmented {
                objectName: "graphicsChoice"
                current: Model.graphics
                options: page.zh
                    ? [{ label: "集显", value: "integrated" }, { label: "AMD 独显", value: "amd" },
                       { label: "NVIDIA 独显", value: "nvidia" }, { label: "不确定", value: "unknown" }]
                    : [{ label: "integrated", value: "integrated" }, { label: "AMD discrete", value: "amd" },
                       { label: "NVIDIA discrete", value: "nvidia" }, { label: "Not sure", value: "unknown" }]
                onPicked: (value) => Model.graphics = value
            }
            LinkButton {
                objectName: "hardwareHelpLink"
                height: 36
                text: page.zh ? "如何查看？" : "Where can I find this?"
                onClicked: dialogs.showHardwareHelp()
            }
        }
    }
    Card {
        objectName: "recommendationBox"
        width: page.width
        spacing: 12
        Row {
            visible: page.suggestion.hasImage === true
            spacing: 8
            Symbol { name: "check-circle"; colour: Theme.success; anchors.verticalCenter: parent.verticalCenter }
            Label {
                text: page.zh ? "推荐试用" : "Suggested USB trial"
                font.weight: Font.DemiBold
                color: Theme.text
                anchors.verticalCenter: parent.verticalCenter
            }
        }
        Label {
            visible: page.suggestion.hasImage === true
            width: parent.width
            wrapMode: Text.Wrap
            text: page.suggestion.hasImage === true ? page.suggestion.image.label : ""
            font.pointSize: Theme.bodyPoints * 1.2
            font.weight: Font.Bold
            color: Theme.text
        }
        ReleaseDetails {
            visible: page.suggestion.hasImage === true
            width: parent.width
            image: page.suggestion.hasImage === true ? page.suggestion.image : ({})
        }
        Label {
            objectName: "reasonText"
            width: parent.width
            wrapMode: Text.Wrap
            color: page.suggestion.hasImage === true ? Theme.subtle : Theme.text
            text: (page.zh, Model.reason(page.suggestion.reason || ""))
        }
    }
}
