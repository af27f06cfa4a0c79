import QtQuick
import QtQuick.Controls.Basic

// A white rounded panel; its children go into a column.
Pane {
    id: card
    default property alias content: column.data
    property color fill: Theme.card
    property color edge: Theme.border

    padding: 16
    spacing: 8
    background: Rectangle {
        radius: Theme.radius + 2
        color: card.fill
        border.color: card.edge
    }
    contentItem: Column {
        id: column
        spacing: card.spacing
    }
}
