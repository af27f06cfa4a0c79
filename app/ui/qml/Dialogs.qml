import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Dialogs
import QtQuick.Templates as T
import Korvex.Imager.Backend

// Every dialog of the window: the model's questions through the desktop seam, the hardware help,
// the guards, and the file and folder choosers. Only one request of a kind is open at a time.
Item {
    id: dialogs
    readonly property bool zh: Model.chinese
    readonly property bool anyOpen: question.visible || erase.visible || help.visible || guard.visible
                                    || fileTicket > 0 || folderTicket > 0
    property int questionTicket: 0
    property int eraseTicket: 0
    property int fileTicket: 0
    property int folderTicket: 0
    property var fileExtensions: []
    property bool guardClosing: false

    function showHardwareHelp() { help.open() }

    AlertDialog {
        id: question
        objectName: "questionDialog"
        parent: T.Overlay.overlay
        onAccepted: { const t = dialogs.questionTicket; dialogs.questionTicket = 0; Desk.answerQuestion(t, true) }
        onRejected: { const t = dialogs.questionTicket; dialogs.questionTicket = 0; Desk.answerQuestion(t, false) }
    }
    AlertDialog {
        id: erase
        objectName: "eraseDialog"
        parent: T.Overlay.overlay
        critical: true
        withField: true
        onAccepted: { const t = dialogs.eraseTicket; dialogs.eraseTicket = 0; Desk.answerErase(t, true, typed) }
        onRejected: { const t = dialogs.eraseTicket; dialogs.eraseTicket = 0; Desk.answerErase(t, false, typed) }
    }
    AlertDialog {
        id: help
        objectName: "helpDialog"
        parent: T.Overlay.overlay
        defaultAccept: true
        message: dialogs.zh ? "查看硬件信息" : "Find hardware information"
        informative: dialogs.zh
            ? "Mac：苹果菜单 → 关于本机 → 更多信息 → 系统报告，查看硬件与图形卡/显示器。\nWindows：任务管理器 → 性能，查看 CPU 和 GPU。只需选择集显、AMD 独显、NVIDIA 独显或不确定。"
            : "Mac: Apple menu → About This Mac → More Info → System Report, then Hardware and Graphics/Displays.\nWindows: Task Manager → Performance, then CPU and GPU. Choose integrated, AMD discrete, NVIDIA discrete or not sure."
        acceptText: dialogs.zh ? "好" : "OK"
    }
    AlertDialog {
        id: guard
        objectName: "guardDialog"
        parent: T.Overlay.overlay
        critical: true
        message: dialogs.guardClosing ? (dialogs.zh ? "请等待操作停止" : "Wait for the operation to stop")
                                      : (dialogs.zh ? "操作尚未完成" : "An operation is still running")
        informative: dialogs.guardClosing
            ? (dialogs.zh ? "如需退出，请先取消操作，保持设备连接直到停止。" : "Cancel the operation first and keep the drive connected until it stops.")
            : (dialogs.zh ? "请先取消操作，等设备停止写入后再退出。" : "Cancel the operation and wait for writing to stop before quitting.")
        cancelText: dialogs.zh ? "继续等待" : "Keep waiting"
        acceptText: dialogs.zh ? "取消操作" : "Cancel operation"
        onAccepted: Shell.cancelOperation()
    }
    FileDialog {
        id: fileChooser
        objectName: "fileChooser"
        fileMode: FileDialog.OpenFile
        modality: Qt.WindowModal
        nameFilters: [(dialogs.zh ? "镜像文件" : "Image files") + " ("
                      + dialogs.fileExtensions.map(e => "*." + e).join(" ") + ")"]
        onAccepted: { const t = dialogs.fileTicket; dialogs.fileTicket = 0; Desk.answerPath(t, selectedFile) }
        onRejected: { const t = dialogs.fileTicket; dialogs.fileTicket = 0; Desk.answerPath(t, "") }
    }
    FolderDialog {
        id: folderChooser
        objectName: "folderChooser"
        modality: Qt.WindowModal
        onAccepted: { const t = dialogs.folderTicket; dialogs.folderTicket = 0; Desk.answerPath(t, selectedFolder) }
        onRejected: { const t = dialogs.folderTicket; dialogs.folderTicket = 0; Desk.answerPath(t, "") }
    }

    Connections {
        target: Desk
        function onQuestionRequested(ticket, message, informative, cancelText, acceptText, critical) {
            dialogs.questionTicket = ticket
            question.message = message
            question.informative = informative
            question.cancelText = cancelText
            question.acceptText = acceptText
            question.critical = critical
            question.open()
        }
        function onEraseRequested(ticket, message, informative, cancelText, acceptText, placeholder) {
            dialogs.eraseTicket = ticket
            erase.message = message
            erase.informative = informative
            erase.cancelText = cancelText
            erase.acceptText = acceptText
            erase.placeholder = placeholder
            erase.open()
        }
        function onFileRequested(ticket, title, extensions) {
            dialogs.fileTicket = ticket
            dialogs.fileExtensions = extensions
            fileChooser.title = title
            fileChooser.open()
        }
        function onFolderRequested(ticket, title) {
            dialogs.folderTicket = ticket
            folderChooser.title = title
            folderChooser.open()
        }
        function onDismissed(ticket) {
            if (ticket === -1 || ticket === dialogs.questionTicket) { dialogs.questionTicket = 0; question.close() }
            if (ticket === -1 || ticket === dialogs.eraseTicket) { dialogs.eraseTicket = 0; erase.close() }
            if (ticket === -1 || ticket === dialogs.fileTicket) { dialogs.fileTicket = 0; fileChooser.close() }
            if (ticket === -1 || ticket === dialogs.folderTicket) { dialogs.folderTicket = 0; folderChooser.close() }
        }
    }
    Connections {
        target: Shell
        function onGuardRequested(closing) {
            dialogs.guardClosing = closing
            guard.open()
        }
    }
}
