import QtQuick
import QtQuick.Controls.Basic
import Korvex.Imager.Backend

Column {
    id: page
    readonly property bool zh: Model.chinese
    readonly property real completed: Model.status.completed || 0
    readonly property real total: Model.status.total || 0
    // A total of 0 (not known yet) shows neither a fraction nor a percentage.
    readonly property bool known: total > 0

    objectName: "progressPage"
    spacing: 16

    PageTitle {
        text: Model.downloadingOnly ? (page.zh ? "正在准备镜像" : "Preparing your image")
                                    : (page.zh ? "正在准备你的启动 U 盘" : "Preparing your bootable USB")
    }
    Card {
        width: page.width
        spacing: 12
        padding: 24
        Label {
            objectName: "stageText"
            width: parent.width
            wrapMode: Text.Wrap
            text: (page.zh, Model.progressLabel)
            font.weight: Font.DemiBold
            font.pointSize: Theme.bodyPoints * 1.15
            color: Theme.text
        }
        ProgressBar {
            id: bar
            objectName: "progressBar"
            width: parent.width
            from: 0
            to: page.known ? page.total : 1
            value: page.known ? Math.min(page.completed, page.total) : 0
            indeterminate: !page.known
            Accessible.name: page.zh ? "进度" : "Progress"
            background: Rectangle {
                implicitHeight: 8
                radius: 4
                color: Theme.tile
            }
            contentItem: Item {
                implicitHeight: 8
                Rectangle {
                    visible: !bar.indeterminate
                    width: bar.visualPosition * parent.width
                    height: parent.height
                    radius: 4
                    color: Theme.text
                }
                Rectangle {
                    id: sweep
                    visible: bar.indeterminate
                    width: parent.width / 4
                    height: parent.height
                    radius: 4
                    color: Theme.faint
                    XAnimator on x {
                        running: bar.indeterminate && bar.visible
                        from: 0
                        to: bar.width - sweep.width
                        duration: 1200
                        loops: Animation.Infinite
                    }
                }
            }
        }
        Label {
            objectName: "progressFigures"
            text: page.known
                  ? (page.completed * 100 / page.total).toFixed(0) + "% · "
                    + (page.completed / 1e9).toFixed(2) + " / " + (page.total / 1e9).toFixed(2) + " GB"
                  : ""
            visible: page.known
            color: Theme.subtle
        }
    }
    Note {
        symbol: "info"
        text: Model.downloadingOnly ? (page.zh ? "下载完成后将校验镜像。" : "The image will be verified after downloading.")
                                    : (page.zh ? "请保持设备连接，等待写入和校验完成。" : "Keep the drive connected until writing and verification finish.")
    }
}
