#include "kest-locale.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

#include <cstdio>
#include <cstring>

namespace {

const char* const kPrintMode = "--print-default-language";

struct LocaleRow
{
    const char* name;   // test name
    const char* locale; // as QLocale::name() or a user would spell it
    const char* code;
};

void PrintTo(const LocaleRow& row, std::ostream* os)
{
    *os << row.locale;
}

class LocaleTable : public ::testing::TestWithParam<LocaleRow>
{};

TEST_P(LocaleTable, MapsLocaleNameToCode)
{
    const LocaleRow& row = GetParam();
    EXPECT_EQ(KestLocale::getInstance()->getLanguageByLocaleName(QString::fromUtf8(row.locale)),
              QString::fromLatin1(row.code));
}

// clang-format off
const LocaleRow kRows[] = {
    {"en_US", "en_US", "enu"},
    {"en_GB", "en_GB", "enu"},
    {"posix", "C", "enu"},
    {"empty", "", "enu"},
    {"not_in_map_sr_RS", "sr_RS", "enu"},
    {"language_only_ja", "ja", "jpn"},
    {"ja_JP", "ja_JP", "jpn"},
    {"ko_KR", "ko_KR", "krn"},
    {"it_IT", "it_IT", "ita"},
    {"ru_RU", "ru_RU", "rus"},
    {"da_DK", "da_DK", "dan"},
    {"no_NO", "no_NO", "nor"},
    {"nb_NO", "nb_NO", "nor"},
    {"nn_NO", "nn_NO", "nor"},
    {"sv_SE", "sv_SE", "sve"},
    {"nl_BE", "nl_BE", "nld"},
    {"pl_PL", "pl_PL", "plk"},
    {"hu_HU", "hu_HU", "hun"},
    {"tr_TR", "tr_TR", "trk"},
    {"cs_CZ", "cs_CZ", "csy"},
    {"de_AT_file_name_code", "de_AT", "ger"},
    {"fr_CA_file_name_code", "fr_CA", "fre"},
    {"es_MX_file_name_code", "es_MX", "spn"},
    {"pt_alone", "pt", "ptg"},
    {"pt_PT", "pt_PT", "ptg"},
    {"pt_BR", "pt_BR", "ptb"},
    {"pt_AO", "pt_AO", "ptb"},
    {"zh_TW", "zh_TW", "cht"},
    {"zh_HK", "zh_HK", "cht"},
    {"zh_MO", "zh_MO", "cht"},
    {"zh_CN", "zh_CN", "chs"},
    {"zh_SG", "zh_SG", "chs"},
    {"zh_alone", "zh", "chs"},
    {"upper_case_language", "JA_JP", "jpn"},
    // The special rules compare the whole name, so anything after the country is another name.
    {"pt_PT_with_codeset", "pt_PT.UTF-8", "ptb"},
    {"zh_TW_with_codeset", "zh_TW.UTF-8", "chs"},
    {"language_with_codeset_no_country", "ja.UTF-8", "enu"},
    {"leading_underscore", "_JP", "enu"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(KestLocale, LocaleTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<LocaleRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(KestLocale, SetLanguageMapAddsAndReplaces)
{
    KestLocale* locale = KestLocale::getInstance();
    locale->setLanguageMap("eo", "epo");
    EXPECT_EQ(locale->getLanguageByLocaleName("eo"), "epo");
    locale->setLanguageMap("eo", "enu");
    EXPECT_EQ(locale->getLanguageByLocaleName("eo"), "enu");
}

// getDefaultLanguage reads the locale of the process environment, so each row runs this
// binary again with that environment.
struct SystemRow
{
    const char* name;
    const char* lc_all;
    const char* code;
};

class SystemLocale : public ::testing::TestWithParam<SystemRow>
{};

TEST_P(SystemLocale, DefaultLanguageFollowsEnvironment)
{
    const SystemRow& row = GetParam();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", row.lc_all);
    QProcess child;
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {kPrintMode});
    ASSERT_TRUE(child.waitForFinished(30000)) << child.errorString().toStdString();
    ASSERT_EQ(child.exitCode(), 0);
    EXPECT_EQ(QString::fromLatin1(child.readAllStandardOutput()).trimmed(), row.code);
}

INSTANTIATE_TEST_SUITE_P(KestLocale, SystemLocale,
                         ::testing::Values(SystemRow{"posix", "C", "enu"},
                                           SystemRow{"ja_JP_utf8", "ja_JP.UTF-8", "jpn"},
                                           SystemRow{"pt_PT_utf8", "pt_PT.UTF-8", "ptg"},
                                           SystemRow{"zh_HK", "zh_HK", "cht"},
                                           SystemRow{"de_CH_utf8", "de_CH.UTF-8", "ger"}),
                         [](const ::testing::TestParamInfo<SystemRow>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], kPrintMode) == 0) {
        std::printf("%s\n", qPrintable(KestLocale::getInstance()->getDefaultLanguage()));
        return 0;
    }
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
