// What the tool's small dialogs share: the desktop's sans-serif font at 8
// points, a fixed client area and a title bar with the close button only.
#pragma once

#include <QDialog>
#include <QFont>
#include <QFontDatabase>

namespace dialog_look {

inline QFont Font(int points = 8)
{
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setStyleHint(QFont::SansSerif);
    f.setPointSize(points);
    return f;
}

inline void Fix(QDialog& dialog, const char* caption, int width, int height)
{
    dialog.setWindowTitle(QString::fromUtf8(caption));
    dialog.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    dialog.setFont(Font());
    dialog.setFixedSize(width, height);
    dialog.setModal(true);
}

} // namespace dialog_look
