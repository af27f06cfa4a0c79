import QtQuick
import QtQuick.Controls.Basic
import Korvex.Imager.Backend

Column {
    id: page
    readonly property bool zh: Model.chinese
    readonly property var image: (Model.chinese, Model.selected)
    readonly property bool tower: image.product === "tower"

    objectName: "completePage"
    spacing: 16

    Row {
        width: page.width
        spacing: 16
        Symbol {
            id: done
            name: "check-circle-filled"
            colour: Theme.success
            size: 48
            anchors.verticalCenter: parent.verticalCenter
        }
        Column {
            width: page.width - done.width - 16
            spacing: 4
            anchors.verticalCenter: parent.verticalCenter
            PageTitle { text: page.zh ? "启动 U 盘已制作完成" : "Your USB is ready" }
            Label {
                width: parent.width
                wrapMode: Text.Wrap
                color: Theme.subtle
                text: page.zh ? "写入和回读校验已完成。" : "Writing and full read-back verification are complete."
            }
        }
    }
    Card {
        objectName: "towerSteps"
        visible: page.tower
        width: page.width
        spacing: 12
        Repeater {
            model: page.zh
                ? ["1. 安全拔出 U 盘，插入目标电脑。", "2. 重启电脑并打开启动菜单，选择 USB / UEFI 启动。",
                   "3. 先试用并检查显示、网络和声音，确认兼容后再备份数据并安装。"]
                : ["1. Safely remove the USB and connect it to the target computer.",
                   "2. Restart and select USB / UEFI from its boot menu.",
                   "3. Try Korvex and check graphics, networking and sound before backing up your data and installing."]
            delegate: Label {
                required property string modelData
                width: parent.width
                wrapMode: Text.Wrap
                text: modelData
                color: Theme.text
            }
        }
        Flow {
            width: parent.width
            spacing: 8
            topPadding: 4
            KButton {
                symbol: "help"
                text: page.zh ? "安装帮助" : "Installation help"
                onClicked: Model.guide()
            }
            KButton {
                symbol: "play"
                text: page.zh ? "视频教程" : "Video tutorial"
                onClicked: Model.openVideo()
            }
        }
    }
    Card {
        objectName: "otherSteps"
        visible: !page.tower
        width: page.width
        Label {
            width: parent.width
            wrapMode: Text.Wrap
            color: Theme.text
            text: page.zh ? "安全拔出设备，并按照目标设备或镜像提供方的启动说明使用。写入成功并不保证目标设备能启动此镜像。"
                          : "Safely remove the drive and follow the target device or image provider's boot instructions. Successful writing does not guarantee boot compatibility."
        }
    }
    Card {
        visible: page.image.id !== undefined
        width: page.width
        Label {
            width: parent.width
            wrapMode: Text.Wrap
            text: "Korvex " + (page.image.label || "")
            font.weight: Font.DemiBold
            color: Theme.text
        }
        ReleaseDetails { image: page.image }
    }
}
