#ifndef BRISENDALE_LIBUI_KEST_LOCALE_H
#define BRISENDALE_LIBUI_KEST_LOCALE_H

#include <QMap>
#include <QString>

// Maps the system locale to one of the three-letter language codes that name the
// compiled-in translation files (":/" + code + ".qm"). Unknown languages give "enu".
class KestLocale
{
public:
    static KestLocale* getInstance();

    // Code for QLocale::system(); the locale is read on each call.
    QString getDefaultLanguage() const;

    // Code for a locale name such as "pt_BR" or "C"; case does not matter.
    QString getLanguageByLocaleName(const QString& name) const;

    // Adds or replaces the code of a language part; not safe once other threads read the map.
    void setLanguageMap(QString key, QString value);

private:
    KestLocale();
    Q_DISABLE_COPY(KestLocale)

    QString getLanguageByLocale(const QString& locale) const;
    QString getPortugueseLanguage(const QString& locale) const;
    QString getChineseLanguage(const QString& locale) const;

    QMap<QString, QString> m_map;
    QString m_language_for_fail;
};

#endif // BRISENDALE_LIBUI_KEST_LOCALE_H
