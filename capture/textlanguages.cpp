#include "capture/textlanguages.h"

#include <QDir>
#include <QLocale>

namespace BL::Capture {

namespace {

// The engine names languages by ISO 639-2 (and a script); Qt 5 locales by ISO 639-1.
struct SLanguageCode
{
    const char* locale;
    const char* data;
};

constexpr SLanguageCode kCodes[] = {
    {"af", "afr"},     {"ar", "ara"},        {"bg", "bul"},        {"ca", "cat"},          {"cs", "ces"},
    {"cy", "cym"},     {"da", "dan"},        {"de", "deu"},        {"el", "ell"},          {"en", "eng"},
    {"eo", "epo"},     {"es", "spa"},        {"et", "est"},        {"eu", "eus"},          {"fa", "fas"},
    {"fi", "fin"},     {"fr", "fra"},        {"ga", "gle"},        {"gl", "glg"},          {"he", "heb"},
    {"hi", "hin"},     {"hr", "hrv"},        {"hu", "hun"},        {"id", "ind"},          {"is", "isl"},
    {"it", "ita"},     {"ja", "jpn"},        {"ko", "kor"},        {"lt", "lit"},          {"lv", "lav"},
    {"mk", "mkd"},     {"ms", "msa"},        {"mt", "mlt"},        {"nb", "nor"},          {"nn", "nor"},
    {"no", "nor"},     {"nl", "nld"},        {"pl", "pol"},        {"pt", "por"},          {"ro", "ron"},
    {"ru", "rus"},     {"sk", "slk"},        {"sl", "slv"},        {"sq", "sqi"},          {"sr", "srp"},
    {"sv", "swe"},     {"th", "tha"},        {"tr", "tur"},        {"uk", "ukr"},          {"vi", "vie"},
    {"zh", "chi_sim"}, {"zh_TW", "chi_tra"}, {"zh_HK", "chi_tra"}, {"zh_Hant", "chi_tra"},
};

QString localeOf(const QString& code)
{
    for (const SLanguageCode& entry : kCodes)
        if (code == QLatin1String(entry.data))
            return QLatin1String(entry.locale);
    return QString();
}

} // namespace

QString textDataDirectory()
{
    for (const char* variable : {"BL_TESSDATA_DIR", "TESSDATA_PREFIX"}) {
        const QString dir = qEnvironmentVariable(variable);
        if (!dir.isEmpty())
            return dir;
    }
    return QStringLiteral("/usr/share/tesseract-ocr/5/tessdata");
}

QStringList installedTextLanguages(const QString& dataDir)
{
    QStringList languages;
    const QFileInfoList files = QDir(dataDir).entryInfoList({QStringLiteral("*.traineddata")},
                                                            QDir::Files | QDir::Readable, QDir::Name);
    for (const QFileInfo& file : files) {
        const QString code = file.completeBaseName();
        // Orientation and equation models, and the script-wide ones under script/, read no words.
        if (code != QLatin1String("osd") && code != QLatin1String("equ") && file.size() > 0)
            languages << code;
    }
    return languages;
}

QStringList defaultTextLanguages(const QStringList& installed, const QStringList& uiLanguages)
{
    QStringList chosen;
    if (installed.contains(QLatin1String("eng")))
        chosen << QStringLiteral("eng");
    for (QString name : uiLanguages) {
        name.replace(QLatin1Char('-'), QLatin1Char('_'));
        // The most specific entry first ("zh_TW" before "zh").
        const QString language = name.section(QLatin1Char('_'), 0, 0);
        const QString region = name.section(QLatin1Char('_'), 0, 1);
        for (const QString& key : {region, language}) {
            const auto match =
                std::find_if(std::begin(kCodes), std::end(kCodes), [&key](const SLanguageCode& entry) {
                    return key == QLatin1String(entry.locale);
                });
            if (match == std::end(kCodes))
                continue;
            const QString code = QLatin1String(match->data);
            if (installed.contains(code) && !chosen.contains(code))
                chosen << code;
            break;
        }
    }
    return chosen;
}

QString textLanguageTitle(const QString& code)
{
    const QString locale = localeOf(code);
    const QString name = locale.isEmpty() ? QString() : QLocale(locale).nativeLanguageName();
    if (name.isEmpty())
        return code;
    return QStringLiteral("%1 (%2)").arg(name.at(0).toUpper() + name.mid(1), code);
}

} // namespace BL::Capture
