// Qt's own texts (file and print dialogs, standard buttons, context menus) in
// Russian, as the rest of the program speaks.
#pragma once

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

// Installs Qt's Russian translation on app; false when it is not installed
// (Qt's texts then stay English). Only the texts: the number format stays ".".
inline bool InstallQtTranslations(QCoreApplication& app)
{
    auto* qt = new QTranslator(&app);
    if (!qt->load("qt_ru", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete qt;
        return false;
    }
    return QCoreApplication::installTranslator(qt);
}
