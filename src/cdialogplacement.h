#ifndef CDIALOGPLACEMENT_H
#define CDIALOGPLACEMENT_H

#include <QPoint>

class QWidget;

// Where the updater's dialogs open: centred on the reader's main window as the reader
// stored it, or on the screen when no window is stored. Every dialog asks this just
// before it is shown.
class CDialogPlacement
{
public:
    // The centre of the reader's main window, or of the screen's available area.
    static QPoint centre();
    // Moves dialog so that its centre lies on centre().
    static void place(QWidget* dialog);
};

#endif // CDIALOGPLACEMENT_H
