import QtQuick
import QtQuick.Controls.Basic
import Korvex.Imager.Backend

Column {
    id: page
    readonly property bool zh: Model.chinese

    objectName: "homePage"
    spacing: 16

    Card {
        width: page.width
        visible: Model.profile.armHost === true
        Note {
            symbol: "info"
            text: page.zh ? "ARM 电脑：为其他设备制作启动 U 盘。" : "ARM computer: create a USB for another device."
            textColour: Theme.text
        }
    }
    Row {
        width: page.width
        spacing: 16
        topPadding: 8
        bottomPadding: 8
        Image {
            id: appIcon
            source: "qrc:/icons/app-icon.png"
            sourceSize: Qt.size(72, 72)
            width: 72
            height: 72
            Accessible.ignored: true
        }
        Column {
            width: page.width - appIcon.width - 16
            anchors.verticalCenter: parent.verticalCenter
            spacing: 4
            PageTitle { text: page.zh ? "准备好开始了吗？" : "Ready for Korvex?" }
            Label {
                width: parent.width
                wrapMode: Text.Wrap
                color: Theme.subtle
                text: page.zh ? "选择、下载镜像，制作启动 U 盘。" : "Choose an image, download it and create a bootable USB."
            }
        }
    }
    Column {
        width: page.width
        spacing: 8
        CardRow {
            objectName: "thisComputerRow"
            width: parent.width
            symbol: "desktop"
            title: page.zh ? "为这台电脑选择" : "Choose for this computer"
            subtitle: Model.profile.cpu || ""
            onClicked: Model.beginHardware(false)
        }
        CardRow {
            objectName: "otherDeviceRow"
            width: parent.width
            symbol: "laptop"
            title: page.zh ? "为其他设备选择" : "Choose for another device"
            subtitle: page.zh ? "输入处理器型号，获得推荐。" : "Enter the processor model for a suggestion."
            onClicked: Model.beginHardware(true)
        }
        CardRow {
            objectName: "browseRow"
            width: parent.width
            symbol: "grid"
            title: page.zh ? "浏览所有版本" : "Browse all versions"
            subtitle: "Korvex Tower · Nomad · Boards"
            onClicked: { Model.page = Model.Catalogue; Model.search = "" }
        }
        CardRow {
            objectName: "localRow"
            width: parent.width
            symbol: "doc"
            title: page.zh ? "使用本地镜像" : "Use a local image"
            subtitle: "IMG · BIN · ISO · ZIP · XZ · GZ · ZST"
            onClicked: Model.chooseLocal()
        }
    }
    Card {
        width: page.width
        fill: Theme.tile
        edge: Theme.tile
        Flow {
            width: parent.width
            spacing: 8
            Label {
                text: page.zh ? "为团队部署 Korvex？" : "Deploying Korvex for your organisation?"
                color: Theme.text
                height: enterprise.height
                verticalAlignment: Text.AlignVCenter
                wrapMode: Text.Wrap
                width: Math.min(implicitWidth, parent.width)
            }
            LinkButton {
                id: enterprise
                objectName: "enterpriseLink"
                text: page.zh ? "试用企业版 →" : "Try Enterprise →"
                onClicked: Model.open("/enterprise-solution/free-trial/")
            }
        }
    }
}
