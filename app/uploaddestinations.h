#pragma once

#include "api/customuploader.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace BL::App {

// The image hosts uploads can go to besides the Brightloom service: custom-uploader files the
// person imported, each copied into one private folder of the user's config directory (they
// often hold a token), named after the host and listed by that name.
class CUploadDestinations
{
public:
    // `directory` holds the imported files; it is made (owner only) at the first import.
    explicit CUploadDestinations(QString directory);

    // <app_config_location>/uploaders.
    static QString defaultDirectory();

    QString directory() const { return m_directory; }
    // The imported destinations' names, sorted.
    QStringList names() const;
    // The description of `name`, read again from its file; nothing when it is gone or no longer
    // reads, with the reason in `error`.
    std::optional<BL::Api::SCustomUploader> uploader(const QString& name, QString* error = nullptr) const;

    // Reads the custom-uploader file `fileName` and keeps a copy under the name it gives (or the
    // file's own name), replacing one of that name. Returns the name; empty, with the reason in
    // `error`, when the file is unreadable or refused.
    QString import(const QString& fileName, QString* error);
    // The same check as import() without keeping anything: what a later start reports.
    static std::optional<BL::Api::SCustomUploader> check(const QString& fileName, QString* error);

private:
    QString pathOf(const QString& name) const;

    const QString m_directory;
};

} // namespace BL::App
