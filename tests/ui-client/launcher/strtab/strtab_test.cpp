#include "texts/strtab.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QHash>
#include <QSet>
#include <QThread>
#include <QTranslator>

#include <climits>
#include <cstring>
#include <memory>

namespace {

// Answers only in the context "global", as the real catalogues do.
class MapTranslator : public QTranslator
{
public:
    QHash<QString, QString> texts;

    bool isEmpty() const override { return texts.isEmpty(); }
    QString translate(const char* context, const char* source, const char* disambiguation,
                      int n) const override
    {
        Q_UNUSED(disambiguation);
        Q_UNUSED(n);
        if (!context || std::strcmp(context, "global") != 0)
            return QString();
        return texts.value(QString::fromUtf8(source));
    }
};

class TranslatedTest : public ::testing::Test
{
protected:
    void install(const QString& english, const QString& translated)
    {
        m_translator.texts.insert(english, translated);
        if (!m_installed)
            m_installed = QCoreApplication::installTranslator(&m_translator);
        ASSERT_TRUE(m_installed);
    }
    void TearDown() override { QCoreApplication::removeTranslator(&m_translator); }

    MapTranslator m_translator;
    bool m_installed = false;
};

struct TextRow
{
    const char* name;
    int id;
    const char* key;
    const char* text;
};

class GivenTexts : public ::testing::TestWithParam<TextRow>
{};

TEST_P(GivenTexts, KeyAndEnglishTextAtTheirId)
{
    const TextRow& row = GetParam();
    EXPECT_STREQ(StrTable::ktab[row.id], row.key);
    EXPECT_EQ(StrTable::LoadStr(row.id), QString::fromUtf8(row.text));
}

INSTANTIATE_TEST_SUITE_P(
    StrTable, GivenTexts,
    ::testing::Values(
        TextRow{"first", 0, "btn_help", "Help"},
        TextRow{"placeholder_kept", 1, "err_version_server_drive",
                "Please upgrade your %1 Server package."},
        TextRow{"installer_title", 17, "msi_readyrepair_dlg_title", "[ProductName] Setup"},
        TextRow{"preparing_twin", 56, "desc_brdn_env_preparing_drive", "%1 is initializing..."},
        TextRow{"dialog_label", 61, "desc_brdn_env_preparing",
                "Brisendale Drive is initializing..."},
        TextRow{"done_label", 185, "desc_brdn_env_preparation_done", "Brisendale Drive is ready."},
        TextRow{"window_title", 309, "app_name", "Brisendale Drive"},
        TextRow{"done_twin", 527, "desc_brdn_env_preparation_done_drive", "%1 is ready."},
        TextRow{"short_name", 538, "app_name_drive", "Drive"},
        TextRow{"last", 654, "open_contain_folder", "Open containing folder"}),
    [](const ::testing::TestParamInfo<TextRow>& info) { return std::string(info.param.name); });

TEST(StrTable, EveryIdHasAUniqueKeyAndAText)
{
    QSet<QByteArray> keys;
    int upper = 0;
    for (unsigned int i = 0; i < StrTable::NUM_STRING_IDS; ++i) {
        ASSERT_NE(StrTable::ktab[i], nullptr) << i;
        ASSERT_NE(StrTable::stab[i], nullptr) << i;
        EXPECT_GT(std::strlen(StrTable::stab[i]), 0u) << i;
        EXPECT_EQ(std::strchr(StrTable::stab[i], '\\'), nullptr) << i;
        const QByteArray key(StrTable::ktab[i]);
        EXPECT_FALSE(keys.contains(key.toLower())) << key.constData();
        keys.insert(key.toLower());
        if (key != key.toLower())
            ++upper;
        // Every key resolves back to its own id, in either case.
        EXPECT_EQ(StrTable::LookupStrID(QString::fromLatin1(key)), static_cast<int>(i));
        EXPECT_EQ(StrTable::LookupStrID(QString::fromLatin1(key.toUpper())), static_cast<int>(i));
    }
    EXPECT_EQ(upper, 5);
}

TEST(StrTable, NonAsciiTextDecodedAsUtf8)
{
    EXPECT_STREQ(StrTable::ktab[278], "wizard_setup_advan_mode_desc");
    const QString text = StrTable::LoadStr(278);
    EXPECT_TRUE(text.endsWith(QString(QChar(0x200B)) + '.')) << text.toStdString();
}

TEST(StrTable, LookupStrID)
{
    EXPECT_EQ(StrTable::LookupStrID("APP_NAME"), 309);
    EXPECT_EQ(StrTable::LookupStrID("app_name"), 309);
    EXPECT_EQ(StrTable::LookupStrID("nsis_not_admin_confirm"), 52);
    EXPECT_EQ(StrTable::LookupStrID(""), -1);
    EXPECT_EQ(StrTable::LookupStrID("app_name "), -1);
    EXPECT_EQ(StrTable::LookupStrID("app_nam"), -1);
    EXPECT_EQ(StrTable::LookupStrID("no_such_key"), -1);
}

TEST(StrTable, IdOutsideTableGivesEmptyText)
{
    for (int id : {-1, INT_MIN, static_cast<int>(StrTable::NUM_STRING_IDS), INT_MAX})
        EXPECT_TRUE(StrTable::LoadStr(id).isEmpty()) << id;
}

TEST_F(TranslatedTest, EscapesOfTranslationResolved)
{
    install("Brisendale Drive is initializing...", "one\\ntwo\\Nthree\\tfour\\n\\n%1");
    EXPECT_EQ(StrTable::LoadStr(61), "one\ntwo\\Nthree\tfour\n\n%1");
    // An id whose text has no translation stays English.
    EXPECT_EQ(StrTable::LoadStr(185), "Brisendale Drive is ready.");
}

TEST_F(TranslatedTest, IdsSharingATextShareItsTranslation)
{
    ASSERT_STREQ(StrTable::stab[17], StrTable::stab[67]);
    install("[ProductName] Setup", "Installation de [ProductName]");
    EXPECT_EQ(StrTable::LoadStr(17), "Installation de [ProductName]");
    EXPECT_EQ(StrTable::LoadStr(67), StrTable::LoadStr(17));
}

TEST_F(TranslatedTest, TranslationSeenFromAnotherThread)
{
    install("Brisendale Drive is ready.", "Brisendale Drive ist bereit.");
    QString seen;
    std::unique_ptr<QThread> worker(QThread::create([&seen] { seen = StrTable::LoadStr(185); }));
    worker->start();
    ASSERT_TRUE(worker->wait(30000));
    EXPECT_EQ(seen, "Brisendale Drive ist bereit.");
}

TEST_F(TranslatedTest, TranslatorRemovedGivesEnglishAgain)
{
    install("Brisendale Drive", "Other");
    EXPECT_EQ(StrTable::LoadStr(309), "Other");
    QCoreApplication::removeTranslator(&m_translator);
    EXPECT_EQ(StrTable::LoadStr(309), "Brisendale Drive");
}

} // namespace
