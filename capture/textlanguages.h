#pragma once

#include <QString>
#include <QStringList>

namespace BL::Capture {

// The Debian package whose data the text recognition needs at the least.
inline const char* const kTextDataPackage = "tesseract-ocr-eng";

// Where the engine's language data is: $BL_TESSDATA_DIR when set (tests point it at an empty
// directory), else $TESSDATA_PREFIX, else the directory Debian's tesseract-ocr-* packages fill.
QString textDataDirectory();

// The languages with data in `dataDir` ("eng", "deu", "chi_sim", ...), sorted; the script and
// orientation models, which read no words, left out.
QStringList installedTextLanguages(const QString& dataDir);

// English whenever it is installed, then the installed languages of `uiLanguages` (locale names
// such as "de-DE" or "pt_BR", most wanted first).
QStringList defaultTextLanguages(const QStringList& installed, const QStringList& uiLanguages);

// "Deutsch (deu)": the language's own name where Qt knows it, for the menu.
QString textLanguageTitle(const QString& code);

} // namespace BL::Capture
