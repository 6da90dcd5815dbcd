#ifndef BRISENDALE_LIBUI_QTCOMPAT_H
#define BRISENDALE_LIBUI_QTCOMPAT_H

// Where Qt 5.15 and Qt 6 differ, callers go through here, so that both builds read the same.

#include <QCoreApplication>
#include <QSettings>
#include <QtGlobal>

namespace QtCompat {

// Call before the application object exists. Qt 6 always scales by the screen's device pixel
// ratio and always draws icons from high-resolution pixmaps, and deprecates both switches;
// Qt 5 must ask for them, or a 2x screen gets a dialog half the size with blurry icons.
// Each major keeps its own rounding of fractional ratios: Qt 5 derives the ratio from the
// X screen's physical resolution when Xft.dpi is unset, and passing that through would
// scale by odd factors such as 1.04.
inline void enableHighDpiScaling()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
}

// Qt 6 reads INI files as UTF-8 and has no codec switch; Qt 5 reads bytes beyond ASCII as
// Latin-1 unless told.
inline void readIniAsUtf8(QSettings& settings)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    settings.setIniCodec("UTF-8");
#else
    Q_UNUSED(settings);
#endif
}

} // namespace QtCompat

#endif // BRISENDALE_LIBUI_QTCOMPAT_H
