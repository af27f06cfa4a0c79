import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Korvex.Imager.Backend

// The build label, the diagnostics button and the actions of the page shown.
Rectangle {
    id: footer
    readonly property bool zh: Model.chinese
    readonly property int page: Model.page
    readonly property var suggestion: (Model.chinese, Model.recommendation)
    // The page's prominent button, which Return presses (null when the page has none).
    readonly property var primary: page === Model.Hardware && suggestion.hasImage === true ? useSuggested
                                 : page === Model.Prepare ? createUsb
                                 : page === Model.Complete ? done : null

    objectName: "footer"
    implicitHeight: 60
    color: Theme.bar

    Rectangle {
        anchors { left: parent.left; right: parent.right; top: parent.top }
        height: 1
        color: Theme.divider
    }
    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 16
        anchors.rightMargin: 16
        spacing: 8

        Label {
            text: "0.8.1 · " + (footer.zh ? "内部测试版" : "Internal QA")
            color: Theme.subtle
            font.pointSize: Theme.bodyPoints * 0.9
        }
        ToolButton {
            id: diagnostics
            objectName: "diagnosticsButton"
            focusPolicy: Qt.StrongFocus
            Accessible.name: footer.zh ? "诊断日志" : "Diagnostics"
            ToolTip.visible: hovered
            ToolTip.delay: 600
            ToolTip.text: Accessible.name
            onClicked: Model.showDiagnostics()
            Keys.onShortcutOverride: (event) => {
                event.accepted = event.key === Qt.Key_Return || event.key === Qt.Key_Enter
            }
            Keys.onReturnPressed: clicked()
            implicitWidth: 36
            implicitHeight: 36
            contentItem: Item {
                Symbol { anchors.centerIn: parent; name: "doc-search"; colour: Theme.subtle }
            }
            background: Rectangle {
                radius: 8
                color: diagnostics.down ? Theme.down : diagnostics.hovered ? Theme.hover : "transparent"
                border.width: diagnostics.visualFocus ? 2 : 0
                border.color: Theme.focus
            }
        }
        Item { Layout.fillWidth: true }

        // home
        LinkButton {
            objectName: "helpButton"
            visible: footer.page === Model.Home
            text: footer.zh ? "帮助" : "Help"
            onClicked: Model.open("/help/")
        }
        // hardware
        KButton {
            objectName: "hardwareLocalButton"
            visible: footer.page === Model.Hardware
            text: footer.zh ? "本地镜像" : "Local image"
            onClicked: Model.chooseLocal()
        }
        KButton {
            objectName: "browseButton"
            visible: footer.page === Model.Hardware
            text: footer.zh ? "手动选择" : "Browse images"
            onClicked: Model.page = Model.Catalogue
        }
        KButton {
            id: useSuggested
            objectName: "useSuggestedButton"
            visible: footer.page === Model.Hardware && footer.suggestion.hasImage === true
            prominent: true
            text: footer.zh ? "使用推荐版本" : "Use suggested image"
            onClicked: Model.choose(footer.suggestion.image.id, footer.suggestion.reason, Model.Hardware)
        }
        // catalogue
        KButton {
            objectName: "catalogueLocalButton"
            visible: footer.page === Model.Catalogue
            text: footer.zh ? "使用本地镜像" : "Use a local image"
            onClicked: Model.chooseLocal()
        }
        // prepare
        KButton {
            objectName: "saveOnlyButton"
            visible: footer.page === Model.Prepare && Model.selected.id !== undefined
            text: footer.zh ? "仅保存镜像" : "Save image only"
            onClicked: Model.perform(true)
        }
        KButton {
            id: createUsb
            objectName: "createButton"
            visible: footer.page === Model.Prepare
            enabled: Model.currentTarget.id !== undefined
            prominent: true
            text: footer.zh ? "制作 U 盘" : "Create USB"
            onClicked: Model.perform(false)
        }
        // progress
        KButton {
            objectName: "cancelButton"
            visible: footer.page === Model.Progress
            text: footer.zh ? "取消" : "Cancel"
            onClicked: Model.cancel()
        }
        // complete
        KButton {
            id: done
            objectName: "doneButton"
            visible: footer.page === Model.Complete
            prominent: true
            text: footer.zh ? "完成" : "Done"
            onClicked: Model.back()
        }
    }
}
