#include "cdialogplacement.h"

#include <QDebug>
#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QSettings>
#include <QSize>
#include <QWidget>

QPoint CDialogPlacement::centre()
{
    QSettings settings(QStringLiteral("Moravel Software"), QStringLiteral("Moravel Reader"));
    const QPoint position = settings.value(QStringLiteral("Window Position")).toPoint();
    const QSize size = settings.value(QStringLiteral("Window Size")).toSize();
    qDebug() << "UpdaterApp::GetMainAppCenterPos()---position:" << position << " size:" << size;

    QPoint centre = QRect(position, size).center();
    qDebug() << "UpdaterApp::GetMainAppCenterPos()---centerPos:" << centre;

    // Without a stored window (no size, or the size of nothing) the rectangle's centre
    // would lie at or left of the screen's corner and dialogs would open partly off
    // screen, so the screen's centre is used instead.
    if (centre == QPoint(0, 0) || !size.isValid()) {
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            centre = screen->availableGeometry().center();
    }
    return centre;
}

void CDialogPlacement::place(QWidget* dialog)
{
    if (!dialog)
        return;
    const QPoint at = centre();
    dialog->move(at.x() - dialog->width() / 2, at.y() - dialog->height() / 2);
}
