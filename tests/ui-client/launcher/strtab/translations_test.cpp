#include "kest-locale.h"
#include "texts/strtab.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QTranslator>

// The collection lives in the core library; registering it also links it in.
int qInitResources_texts();

namespace {

const char* const kCodes[] = {"enu", "jpn", "krn", "ita", "rus", "dan", "nor", "sve", "nld", "plk",
                              "hun", "trk", "csy", "ptg", "ptb", "chs", "cht", "ger", "fre", "spn"};

class CompiledTranslation : public ::testing::TestWithParam<const char*>
{
protected:
    static void SetUpTestSuite() { qInitResources_texts(); }
    void TearDown() override { QCoreApplication::removeTranslator(&m_translator); }
    QTranslator m_translator;
};

TEST_P(CompiledTranslation, LoadsAndTranslatesTheShownTexts)
{
    const QString code = QString::fromLatin1(GetParam());
    ASSERT_TRUE(m_translator.load(":/" + code + ".qm")) << code.toStdString();
    ASSERT_FALSE(m_translator.isEmpty());
    ASSERT_TRUE(QCoreApplication::installTranslator(&m_translator));

    const QString preparing = StrTable::LoadStr(61);
    const QString done = StrTable::LoadStr(185);
    EXPECT_TRUE(preparing.contains("Brisendale Drive")) << preparing.toStdString();
    EXPECT_TRUE(done.contains("Brisendale Drive")) << done.toStdString();
    EXPECT_EQ(StrTable::LoadStr(309), "Brisendale Drive");
    EXPECT_TRUE(StrTable::LoadStr(56).contains("%1"));
    // The catalogue must really answer: English is only right for English.
    if (code != "enu") {
        EXPECT_NE(preparing, StrTable::stab[61]);
        EXPECT_NE(done, StrTable::stab[185]);
        EXPECT_NE(StrTable::LoadStr(56), StrTable::stab[56]);
    }
    EXPECT_EQ(m_translator.translate("global", StrTable::stab[61]), preparing);
    EXPECT_TRUE(m_translator.translate("other", StrTable::stab[61]).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Texts, CompiledTranslation, ::testing::ValuesIn(kCodes),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

TEST(Texts, CollectionHoldsExactlyTheLanguageFiles)
{
    qInitResources_texts();
    QSet<QString> expected;
    for (const char* code : kCodes)
        expected.insert(QString::fromLatin1(code) + ".qm");
    const QStringList found = QDir(":/").entryList({"*.qm"}, QDir::Files);
    EXPECT_EQ(QSet<QString>(found.begin(), found.end()), expected);
}

// Every code the mapper can give must name a file, or that language silently shows English.
TEST(Texts, EveryMappedLanguageHasAFile)
{
    qInitResources_texts();
    const char* const locales[] = {"C",     "en_US", "ja_JP", "ko_KR", "it_IT", "ru_RU",
                                   "da_DK", "no_NO", "nb_NO", "nn_NO", "sv_SE", "nl_NL",
                                   "pl_PL", "hu_HU", "tr_TR", "cs_CZ", "pt_PT", "pt_BR",
                                   "zh_CN", "zh_TW", "de_DE", "fr_FR", "es_ES"};
    for (const char* locale : locales) {
        const QString code = KestLocale::getInstance()->getLanguageByLocaleName(locale);
        EXPECT_TRUE(QFile::exists(":/" + code + ".qm")) << locale << " -> " << code.toStdString();
    }
}

} // namespace

namespace {

// Every text of the notifications is really translated in every language: a missing one
// would show English in a notification otherwise in the user's language.
TEST_P(CompiledTranslation, TranslatesEveryNoticeText)
{
    const QString code = QString::fromLatin1(GetParam());
    ASSERT_TRUE(m_translator.load(":/" + code + ".qm")) << code.toStdString();
    int texts = 0;
    for (unsigned int id = 0; id < StrTable::NUM_STRING_IDS; ++id) {
        if (!QByteArray(StrTable::ktab[id]).startsWith("notice_"))
            continue;
        ++texts;
        const QString english = QString::fromUtf8(StrTable::stab[id]);
        const QString translated = m_translator.translate("global", StrTable::stab[id]);
        EXPECT_FALSE(translated.isEmpty()) << code.toStdString() << ": " << StrTable::ktab[id];
        if (code != "enu") {
            EXPECT_NE(translated, english) << code.toStdString() << ": " << StrTable::ktab[id];
        }
        EXPECT_EQ(translated.contains("%1"), english.contains("%1"))
            << code.toStdString() << ": " << StrTable::ktab[id];
    }
    EXPECT_EQ(texts, 10);
}

} // namespace
