#include "kest-locale.h"

#include <QLocale>

KestLocale::KestLocale() : m_language_for_fail(QStringLiteral("enu"))
{
    m_map.insert(QStringLiteral("en"), QStringLiteral("enu"));
    m_map.insert(QStringLiteral("ja"), QStringLiteral("jpn"));
    m_map.insert(QStringLiteral("ko"), QStringLiteral("krn"));
    m_map.insert(QStringLiteral("it"), QStringLiteral("ita"));
    m_map.insert(QStringLiteral("ru"), QStringLiteral("rus"));
    m_map.insert(QStringLiteral("da"), QStringLiteral("dan"));
    m_map.insert(QStringLiteral("no"), QStringLiteral("nor"));
    m_map.insert(QStringLiteral("nb"), QStringLiteral("nor"));
    m_map.insert(QStringLiteral("nn"), QStringLiteral("nor"));
    m_map.insert(QStringLiteral("sv"), QStringLiteral("sve"));
    m_map.insert(QStringLiteral("nl"), QStringLiteral("nld"));
    m_map.insert(QStringLiteral("pl"), QStringLiteral("plk"));
    m_map.insert(QStringLiteral("hu"), QStringLiteral("hun"));
    m_map.insert(QStringLiteral("tr"), QStringLiteral("trk"));
    m_map.insert(QStringLiteral("cs"), QStringLiteral("csy"));
    // These codes are the names of the translation files; any other code finds no file.
    m_map.insert(QStringLiteral("de"), QStringLiteral("ger"));
    m_map.insert(QStringLiteral("fr"), QStringLiteral("fre"));
    m_map.insert(QStringLiteral("es"), QStringLiteral("spn"));
}

KestLocale* KestLocale::getInstance()
{
    static KestLocale instance;
    return &instance;
}

QString KestLocale::getDefaultLanguage() const
{
    return getLanguageByLocaleName(QLocale::system().name());
}

QString KestLocale::getLanguageByLocaleName(const QString& name) const
{
    return getLanguageByLocale(name.toLower());
}

void KestLocale::setLanguageMap(QString key, QString value)
{
    m_map.insert(key, value);
}

QString KestLocale::getLanguageByLocale(const QString& locale) const
{
    QString language_iso_639 = locale;
    const int index = locale.indexOf(QLatin1Char('_'));
    if (index >= 0)
        language_iso_639 = locale.left(index);

    if (language_iso_639 == QLatin1String("pt"))
        return getPortugueseLanguage(locale);
    if (language_iso_639 == QLatin1String("zh"))
        return getChineseLanguage(locale);
    return m_map.value(language_iso_639, m_language_for_fail);
}

QString KestLocale::getPortugueseLanguage(const QString& locale) const
{
    if (locale == QLatin1String("pt") || locale == QLatin1String("pt_pt"))
        return QStringLiteral("ptg");
    return QStringLiteral("ptb");
}

QString KestLocale::getChineseLanguage(const QString& locale) const
{
    if (locale == QLatin1String("zh_tw") || locale == QLatin1String("zh_hk") ||
        locale == QLatin1String("zh_mo"))
        return QStringLiteral("cht");
    return QStringLiteral("chs");
}
