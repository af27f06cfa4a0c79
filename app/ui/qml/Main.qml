import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Korvex.Imager.Backend

ApplicationWindow {
    id: window
    readonly property bool zh: Model.chinese
    readonly property var pages: [homePage, hardwarePage, cataloguePage, preparePage, progressPage, completePage]

    title: "Korvex Imager"
    width: 1024
    height: 760
    minimumWidth: 760
    minimumHeight: 600
    visible: true
    color: Theme.window
    font.family: zh ? "Noto Sans CJK SC" : Qt.application.font.family

    palette.window: Theme.window
    palette.windowText: Theme.text
    palette.base: Theme.card
    palette.text: Theme.text
    palette.button: Theme.card
    palette.buttonText: Theme.text
    palette.highlight: Theme.accent
    palette.highlightedText: "#ffffff"
    palette.placeholderText: Theme.faint
    palette.toolTipBase: Theme.text
    palette.toolTipText: "#ffffff"
    palette.mid: Theme.border
    palette.dark: Theme.subtle
    palette.light: Theme.card
    palette.midlight: Theme.tile
    palette.shadow: Theme.subtle

    header: Header {}
    footer: Footer { id: footer }

    // The window never closes while an operation runs; the guard offers to cancel it.
    onClosing: (close) => { close.accepted = Shell.allowClose() }

    Shortcut {
        sequences: [StandardKey.Quit, "Ctrl+Q"]
        context: Qt.ApplicationShortcut
        onActivated: Shell.requestQuit()
    }
    // Return presses the page's prominent button when nothing focused wants the key.
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: !dialogs.anyOpen && footer.primary !== null
        onActivated: if (footer.primary.visible && footer.primary.enabled) footer.primary.clicked()
    }

    Flickable {
        id: scroller
        objectName: "scroller"
        anchors.fill: parent
        contentWidth: width
        contentHeight: content.implicitHeight + 48
        boundsBehavior: Flickable.StopAtBounds
        clip: true
        ScrollBar.vertical: ScrollBar {}

        Column {
            id: content
            x: Math.max(24, (scroller.width - width) / 2)
            y: 24
            width: Math.min(Theme.pageWidth, scroller.width - 48)
            spacing: 16

            Banner {}
            Loader {
                id: pageLoader
                objectName: "pageLoader"
                width: parent.width
                sourceComponent: window.pages[Model.page]
                // A new page starts at its top.
                onLoaded: scroller.contentY = 0
            }
        }
    }

    Component { id: homePage; HomePage {} }
    Component { id: hardwarePage; HardwarePage {} }
    Component { id: cataloguePage; CataloguePage {} }
    Component { id: preparePage; PreparePage {} }
    Component { id: progressPage; ProgressPage {} }
    Component { id: completePage; CompletePage {} }

    Dialogs { id: dialogs; objectName: "dialogs"; anchors.fill: parent }
}
