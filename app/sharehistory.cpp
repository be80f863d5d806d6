#include "app/sharehistory.h"

#include "app/logging.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <utility>

namespace BL::App {

namespace {

const QString kListName = QStringLiteral("shares.json");
constexpr int kThumbnailSide = 64; // as large as a menu icon gets on a scaled screen

const QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QString kindName(EShareKind kind)
{
    switch (kind) {
    case EShareKind::Comparison:
        return QStringLiteral("comparison");
    case EShareKind::Url:
        return QStringLiteral("url");
    case EShareKind::Picture:
        break;
    }
    return QStringLiteral("picture");
}

EShareKind kindOf(const QString& name)
{
    if (name == QLatin1String("comparison"))
        return EShareKind::Comparison;
    return name == QLatin1String("url") ? EShareKind::Url : EShareKind::Picture;
}

QJsonObject toJson(const SShareRecord& record)
{
    QJsonObject object{{QStringLiteral("time"), record.time.toUTC().toString(Qt::ISODateWithMs)},
                       {QStringLiteral("kind"), kindName(record.kind)}};
    if (record.state == EShareState::Shared) {
        object.insert(QStringLiteral("link"), record.link);
        if (!record.secret.isEmpty())
            object.insert(QStringLiteral("secret"), record.secret);
        const std::pair<const char*, const QString*> hosted[] = {{"host", &record.host},
                                                                 {"deletion_url", &record.deletionUrl},
                                                                 {"thumbnail_url", &record.thumbnailUrl}};
        for (const auto& [name, value] : hosted)
            if (!value->isEmpty())
                object.insert(QLatin1String(name), *value);
        if (!record.thumbnail.isEmpty())
            object.insert(QStringLiteral("thumbnail"), record.thumbnail);
    } else {
        object.insert(QStringLiteral("kept"), record.keptFile);
    }
    return object;
}

// False for an entry that names neither a share nor a kept file.
bool fromJson(const QJsonObject& object, SShareRecord* record)
{
    record->link = object.value(QStringLiteral("link")).toString();
    record->secret = object.value(QStringLiteral("secret")).toString();
    record->time = QDateTime::fromString(object.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
    record->kind = kindOf(object.value(QStringLiteral("kind")).toString());
    record->thumbnail = object.value(QStringLiteral("thumbnail")).toString();
    record->keptFile = object.value(QStringLiteral("kept")).toString();
    record->host = object.value(QStringLiteral("host")).toString();
    record->deletionUrl = object.value(QStringLiteral("deletion_url")).toString();
    record->thumbnailUrl = object.value(QStringLiteral("thumbnail_url")).toString();
    record->state = record->keptFile.isEmpty() ? EShareState::Shared : EShareState::UploadFailed;
    if (!record->time.isValid())
        return false;
    return record->state == EShareState::UploadFailed ||
           (!record->link.isEmpty() && (!record->secret.isEmpty() || !record->host.isEmpty()));
}

// A copy that shares no block with `text`, so that the old one can be freed.
QString detached(const QString& text)
{
    return text.isEmpty() ? QString() : QString(text.constData(), text.size());
}

// The public code at the end of a link, when it is one a file may be named after.
QString publicCode(const QString& link)
{
    const QString code = link.section(QLatin1Char('/'), -1);
    if (code.isEmpty() || code.size() > 64)
        return QString();
    for (const QChar c : code)
        if (!(c.isLetterOrNumber() && c.unicode() < 128))
            return QString();
    return code;
}

} // namespace

CShareHistory::CShareHistory(const QString& directory, QObject* parent)
    : QObject(parent), m_directory(directory)
{
    load();
}

QString CShareHistory::fileName() const
{
    return QDir(m_directory).filePath(kListName);
}

QString CShareHistory::thumbnailPath(const SShareRecord& record) const
{
    return record.thumbnail.isEmpty() ? QString() : QDir(m_directory).filePath(record.thumbnail);
}

void CShareHistory::load()
{
    QFile file(fileName());
    if (!file.exists())
        return;
    QJsonParseError error{};
    const QJsonDocument document =
        file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll(), &error) : QJsonDocument();
    file.close();
    const QJsonValue shares = document.object().value(QStringLiteral("shares"));
    if (!document.isObject() || !shares.isArray()) {
        // Kept for whoever wants to look at it; a fresh list takes its place.
        const QString aside = fileName() + QStringLiteral(".damaged-") +
                              QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddhhmmsszzz"));
        qCWarning(lcApp).noquote() << "the list of shares" << fileName() << "could not be read ("
                                   << (error.error != QJsonParseError::NoError ? error.errorString()
                                                                               : QStringLiteral("not a list"))
                                   << "); it was moved to" << aside << "and a new list begun";
        QFile::rename(fileName(), aside);
        save();
        flush(); // the fresh list is in place before anything else happens
        return;
    }
    for (const QJsonValue& value : shares.toArray()) {
        SShareRecord record;
        if (fromJson(value.toObject(), &record))
            m_entries.append(record);
    }
}

CShareHistory::~CShareHistory()
{
    m_writer.flush();
}

void CShareHistory::flush()
{
    m_writer.flush();
}

void CShareHistory::compact()
{
    QList<SShareRecord> fresh;
    fresh.reserve(m_entries.size());
    for (const SShareRecord& record : qAsConst(m_entries)) {
        SShareRecord copy = record;
        for (QString* text : {&copy.link, &copy.secret, &copy.thumbnail, &copy.keptFile, &copy.host,
                              &copy.deletionUrl, &copy.thumbnailUrl})
            *text = detached(*text);
        fresh.append(copy);
    }
    m_entries.swap(fresh);
}

void CShareHistory::save()
{
    if (!QDir().mkpath(m_directory)) {
        qCWarning(lcApp) << "could not create" << m_directory << "for the list of shares";
        return;
    }
    QFile::setPermissions(m_directory, kOwnerOnly | QFileDevice::ExeOwner);
    QJsonArray shares;
    for (const SShareRecord& record : qAsConst(m_entries))
        shares.append(toJson(record));
    m_writer.replace(fileName(), QJsonDocument(QJsonObject{{QStringLiteral("version"), 1},
                                                           {QStringLiteral("shares"), shares}})
                                     .toJson(QJsonDocument::Compact));
}

void CShareHistory::add(const SShareRecord& record)
{
    m_entries.prepend(record);
    while (m_entries.size() > maxEntries)
        dropThumbnail(m_entries.takeLast());
    save();
    emit changed();
}

void CShareHistory::remove(const QString& key)
{
    for (int i = 0; i < m_entries.size(); ++i) {
        if (m_entries.at(i).key() != key)
            continue;
        dropThumbnail(m_entries.takeAt(i));
        save();
        emit changed();
        return;
    }
}

bool CShareHistory::setThumbnail(const QString& key, const QByteArray& png)
{
    const auto record = std::find_if(m_entries.cbegin(), m_entries.cend(),
                                     [&key](const SShareRecord& r) { return r.key() == key; });
    if (record == m_entries.cend())
        return false;
    // An imported host's links are named by their digest: they have no code of ours.
    const bool ours = record->host.isEmpty();
    const QString code =
        ours ? publicCode(record->link)
             : QString::fromLatin1(QCryptographicHash::hash(record->link.toUtf8(), QCryptographicHash::Sha256)
                                       .toHex()
                                       .left(32));
    if (code.isEmpty())
        return false;
    const QString name = QStringLiteral("thumbnails/%1.png").arg(code);
    const QString path = QDir(m_directory).filePath(name);
    QDir(m_directory).mkpath(QStringLiteral("thumbnails"));
    // Reading, scaling and writing the picture is the writer thread's; the entry learns of it
    // once its file is there.
    m_writer.run([this, key, name, path, png, ours] {
        QImage picture;
        bool kept = picture.loadFromData(png, ours ? "PNG" : nullptr);
        if (kept && (picture.width() > kThumbnailSide || picture.height() > kThumbnailSide))
            picture =
                picture.scaled(kThumbnailSide, kThumbnailSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        kept = kept && buffer.open(QIODevice::WriteOnly) && picture.save(&buffer, "PNG") &&
               CBackgroundFileWriter::replaceNow(path, bytes);
        QMetaObject::invokeMethod(
            this, [this, key, name, path, kept] { thumbnailWritten(key, name, path, kept); },
            Qt::QueuedConnection);
    });
    return true;
}

void CShareHistory::thumbnailWritten(const QString& key, const QString& name, const QString& path, bool kept)
{
    if (!kept) {
        qCDebug(lcApp) << "no thumbnail kept for" << key;
        return;
    }
    for (SShareRecord& record : m_entries) {
        if (record.key() != key)
            continue;
        record.thumbnail = name;
        save();
        emit changed();
        return;
    }
    // The entry went while its thumbnail was being made.
    m_writer.run([path] { QFile::remove(path); });
}

void CShareHistory::dropThumbnail(const SShareRecord& record)
{
    // After any write of it that is still to come.
    if (!record.thumbnail.isEmpty())
        m_writer.run([path = thumbnailPath(record)] { QFile::remove(path); });
}

} // namespace BL::App
