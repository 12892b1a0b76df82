#include "languages.h"

#include "register.h"

#include <QCoreApplication>
#include <QFile>
#include <QFontDatabase>
#include <QLocale>
#include <QSettings>
#include <QTranslator>

namespace {

int languageSetting(const char* key)
{
    // Stored as text; absent or not a number reads as 0.
    return CRegister::regGetString(QStringLiteral("\\Preferences\\Languages"), QLatin1String(key)).toInt(nullptr, 10);
}

QString installationDir()
{
    QSettings settings(QStringLiteral("Moravel Software"), QStringLiteral("Moravel Reader"));
    const QString stored = settings.value(QStringLiteral("Corvina_UpdateOldPath")).toString();
    if (stored.isNull())
        return QCoreApplication::applicationDirPath();
    return stored;
}

struct LanguageFiles
{
    int language;
    int country;
    const char* appFile;
    const char* toolkitFile;
};

static_assert(QLocale::Chinese == 25 && QLocale::China == 44 && QLocale::Taiwan == 208, "settings values");
static_assert(QLocale::Japanese == 59 && QLocale::Japan == 108, "settings values");
static_assert(QLocale::Korean == 66 && QLocale::SouthKorea == 114, "settings values");

// First matching row wins; any other pair falls back to English.
const LanguageFiles kLanguageFiles[] = {
    { QLocale::Chinese, QLocale::China, "/lang/zh_cn/corvina_zh_cn.qm", "/lang/zh_cn/qt_zh_CN.qm" },
    { QLocale::Japanese, QLocale::Japan, "/lang/ja_jp/corvina_ja_jp.qm", "/lang/ja_jp/corvina_ja_jp.qm" },
    { QLocale::Chinese, QLocale::Taiwan, "/lang/zh_tw/corvina_zh_tw.qm", "/lang/zh_tw/qt_zh_TW.qm" },
    { QLocale::Korean, QLocale::SouthKorea, "/lang/ko_kr/corvina_ko_kr.qm", "/lang/ko_kr/qt_ko_KR.qm" },
};
const LanguageFiles kFallbackFiles = { 0, 0, "/lang/en_us/corvina_en_us.qm", "/lang/en_us/corvina_en_us.qm" };

const LanguageFiles& languageFiles(int language, int country)
{
    for (const LanguageFiles& row : kLanguageFiles) {
        if (row.language == language && row.country == country)
            return row;
    }
    return kFallbackFiles;
}

} // namespace

void LoadLanguagesData(int& language, int& country)
{
    const int type = languageSetting("nChooseLanType");
    language = languageSetting("nChooseLan");
    country = languageSetting("nChooseCountry");
    if (type == 0) {
        const QLocale system = QLocale::system();
        language = system.language();
        country = system.country();
    }
}

QString getLanFilePath(int language, int country)
{
    return installationDir() + QLatin1String(languageFiles(language, country).appFile);
}

QString getGLanFilePath(int language, int country)
{
    return installationDir() + QLatin1String(languageFiles(language, country).toolkitFile);
}

bool installTranslatorFile(QTranslator& translator, const QString& filePath)
{
    if (!translator.load(filePath))
        return false;
    return QCoreApplication::installTranslator(&translator);
}

QFont getAppFont(const QString& issueFilePath)
{
    QFont font;

    QString issue;
    QFile file(issueFilePath);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QByteArray bytes = file.readAll();
        const int nul = bytes.indexOf('\0');
        if (nul >= 0)
            bytes.truncate(nul);
        issue = QString::fromUtf8(bytes);
    }

    struct Rule
    {
        const char* distribution;
        const char* family;
    };
    static const Rule rules[] = {
        { "Ubuntu", "Ubuntu" },
        { "SUSE", "Cantarell" },
        { "Red Hat", "Sans" },
        { "Kernel", "Cantarell" },
    };

    bool matched = false;
    for (const Rule& rule : rules) {
        if (issue.contains(QLatin1String(rule.distribution), Qt::CaseInsensitive)) {
            font.setFamily(QLatin1String(rule.family));
            matched = true;
            break;
        }
    }
    if (!matched)
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);

    font.setPixelSize(12);
    return font;
}
