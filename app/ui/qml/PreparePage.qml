import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Korvex.Imager.Backend

Column {
    id: page
    readonly property bool zh: Model.chinese
    readonly property var image: (Model.chinese, Model.selected)
    readonly property bool fromCatalogue: image.id !== undefined
    readonly property bool fromFile: Model.local !== ""

    objectName: "preparePage"
    spacing: 16

    PageTitle { text: page.zh ? "制作启动 U 盘" : "Prepare your USB" }

    Card {
        objectName: "localImage"
        visible: page.fromFile
        width: page.width
        Label {
            text: page.zh ? "已选择镜像" : "Image selected"
            color: Theme.subtle
        }
        Label {
            width: parent.width
            wrapMode: Text.WrapAnywhere
            text: Model.localName
            font.weight: Font.Bold
            font.pointSize: Theme.bodyPoints * 1.15
            color: Theme.text
        }
        Note {
            symbol: "info"
            text: page.zh ? "本地镜像，来源未经验证。普通 Windows 安装 ISO 不支持直接写入。"
                          : "Local image; origin unverified. Standard Windows installer ISOs are not supported for direct writing."
        }
        KButton {
            text: page.zh ? "更换文件" : "Choose file"
            onClicked: Model.chooseLocal()
        }
    }

    Card {
        objectName: "catalogueImage"
        visible: page.fromCatalogue
        width: page.width
        spacing: 12
        Column {
            width: parent.width
            spacing: 2
            Label {
                width: parent.width
                wrapMode: Text.Wrap
                text: "Korvex " + (page.image.label || "")
                font.weight: Font.Bold
                font.pointSize: Theme.bodyPoints * 1.15
                color: Theme.text
            }
            Label {
                width: parent.width
                wrapMode: Text.Wrap
                text: page.zh ? "官方目录镜像，写入前校验" : "Official catalogue image; verified before writing"
                color: Theme.subtle
            }
        }
        ReleaseDetails { image: page.image }
        Note {
            visible: Model.trialReason !== ""
            symbol: "info"
            text: (page.zh, Model.reason(Model.trialReason))
        }
        Rectangle { width: parent.width; height: 1; color: Theme.divider }
        Label {
            text: page.zh ? "下载位置" : "Download location"
            font.weight: Font.DemiBold
            color: Theme.text
        }
        Flow {
            width: parent.width
            spacing: 8
            Label {
                objectName: "cacheFolder"
                width: Math.min(implicitWidth, parent.width)
                height: Math.max(implicitHeight, changeFolder.height)
                verticalAlignment: Text.AlignVCenter
                wrapMode: Text.WrapAnywhere
                text: Model.cacheFolder
                color: Theme.subtle
            }
            KButton {
                id: changeFolder
                text: page.zh ? "更改" : "Change"
                onClicked: Model.changeDownloadFolder()
            }
        }
        Flow {
            width: parent.width
            spacing: 8
            KButton {
                symbol: "folder"
                text: page.zh ? "查看已下载的镜像" : "Show downloaded images"
                onClicked: Model.revealDownloads()
            }
            KButton {
                objectName: "clearCacheButton"
                symbol: "trash"
                enabled: !Model.busy
                text: page.zh ? "清除此镜像的缓存" : "Clear this image's cache"
                onClicked: Model.clearSelectedCache()
            }
        }
    }

    Card {
        objectName: "targets"
        width: page.width
        spacing: 12
        RowLayout {
            width: parent.width
            spacing: 8
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: page.zh ? "目标 U 盘或移动硬盘" : "Target USB drive"
                font.weight: Font.DemiBold
                color: Theme.text
            }
            KButton {
                objectName: "refreshButton"
                symbol: "refresh"
                enabled: !Model.refreshing && !Model.busy
                text: page.zh ? "刷新设备" : "Refresh drives"
                onClicked: Model.refreshDrives()
            }
        }
        Repeater {
            model: Model.targets
            delegate: AbstractButton {
                id: target
                required property var modelData
                readonly property bool marked: modelData.id === Model.targetID

                objectName: "target_" + modelData.bsd
                width: parent.width
                implicitHeight: Math.max(48, targetLabel.implicitHeight + 24)
                focusPolicy: Qt.StrongFocus
                checkable: true
                checked: marked
                Accessible.role: Accessible.RadioButton
                Accessible.name: modelData.label
                Accessible.checked: marked
                onClicked: Model.targetID = modelData.id
                Keys.onShortcutOverride: (event) => {
                    event.accepted = event.key === Qt.Key_Return || event.key === Qt.Key_Enter
                }
                Keys.onReturnPressed: clicked()
                background: Rectangle {
                    radius: Theme.radius
                    color: target.marked ? Theme.chosen : target.hovered ? Theme.hover : Theme.card
                    border.width: target.visualFocus || target.marked ? 2 : 1
                    border.color: target.visualFocus ? Theme.focus : target.marked ? Theme.text : Theme.border
                }
                contentItem: Item {
                    Symbol {
                        id: mark
                        objectName: target.marked ? "markedSymbol" : "emptySymbol"
                        x: 16
                        anchors.verticalCenter: parent.verticalCenter
                        name: target.marked ? "check-circle-filled" : "circle"
                        colour: target.marked ? Theme.text : Theme.faint
                    }
                    Label {
                        id: targetLabel
                        x: mark.x + mark.width + 12
                        width: parent.width - x - 16
                        anchors.verticalCenter: parent.verticalCenter
                        wrapMode: Text.WrapAnywhere
                        text: target.modelData.label
                        color: Theme.text
                        font.weight: target.marked ? Font.DemiBold : Font.Normal
                    }
                }
            }
        }
        Note {
            objectName: "noTargets"
            visible: Model.targets.length === 0
            symbol: "drive"
            text: page.zh ? "未发现可用的外置 USB/SD 设备。连接设备后点击刷新。"
                          : "No available external USB/SD drive. Connect one and refresh."
        }
    }

    Note {
        symbol: "warning"
        colour: Theme.warning
        textColour: Theme.text
        text: page.zh ? "制作时将清空所选设备的全部数据。" : "Creating the USB erases all data on the selected drive."
    }
}
