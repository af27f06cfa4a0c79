import QtQuick
import QtQuick.Controls.Basic
import Korvex.Imager.Backend

Column {
    id: page
    readonly property bool zh: Model.chinese
    readonly property var images: (Model.chinese, Model.images)

    objectName: "cataloguePage"
    spacing: 16

    Flow {
        width: page.width
        spacing: 12
        PageTitle {
            width: Math.min(implicitWidth, page.width)
            text: page.zh ? "选择 Korvex 版本" : "Choose your Korvex"
        }
        Rectangle {
            visible: Model.catalogueNote !== ""
            y: 6
            radius: 6
            color: Theme.tile
            width: noteLabel.implicitWidth + 16
            height: noteLabel.implicitHeight + 8
            Label {
                id: noteLabel
                anchors.centerIn: parent
                text: Model.catalogueNote
                color: Theme.subtle
                font.pointSize: Theme.bodyPoints * 0.9
            }
        }
    }
    Flow {
        width: page.width
        spacing: 16
        Segmented {
            objectName: "productChoice"
            current: Model.product
            options: [{ label: "Tower", value: "tower" }, { label: "Nomad", value: "nomad" },
                      { label: "Boards", value: "boards" }]
            onPicked: (value) => Model.product = value
        }
        TextField {
            id: searchField
            objectName: "searchField"
            width: Math.min(page.width, 320)
            text: Model.search
            placeholderText: page.zh ? "搜索设备或版本" : "Search devices or versions"
            Accessible.name: placeholderText
            selectByMouse: true
            onTextEdited: Model.search = text
            color: Theme.text
            placeholderTextColor: Theme.faint
            background: Rectangle {
                implicitHeight: 36
                radius: 8
                color: Theme.card
                border.width: searchField.activeFocus ? 2 : 1
                border.color: searchField.activeFocus ? Theme.focus : Theme.border
            }
        }
    }
    Column {
        width: page.width
        spacing: 8
        Repeater {
            model: page.images
            delegate: CardRow {
                required property var modelData
                width: page.width
                symbol: "usb"
                title: "Korvex " + modelData.label
                subtitle: modelData.sizeText + " · " + (page.zh ? "发布于 " : "Released ") + modelData.releaseDate
                onClicked: Model.choose(modelData.id, "", Model.Catalogue)
            }
        }
    }
    Card {
        objectName: "emptyCatalogue"
        visible: page.images.length === 0
        width: page.width
        spacing: 12
        Label {
            width: parent.width
            wrapMode: Text.Wrap
            color: Theme.text
            text: page.zh ? "没有匹配的镜像。可清空搜索、重试目录，或使用本地镜像。"
                          : "No matching images. Clear the search, retry the catalogue or use a local image."
        }
        Row {
            spacing: 8
            KButton {
                text: page.zh ? "清空搜索" : "Clear search"
                onClicked: Model.search = ""
            }
            KButton {
                text: page.zh ? "重试目录" : "Retry catalogue"
                onClicked: Model.load()
            }
        }
    }
}
