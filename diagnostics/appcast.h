#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <optional>

// One release announced by an update feed (an RSS channel whose items carry the
// release's version, notes and download page).
struct SAppcastItem
{
    QString title;
    QString version;        // as the feed writes it: a build number or a dotted version
    qint64 build = -1;      // the last dot-separated part of `version`; -1 when not a number
    QString displayVersion; // what the person reads; the feed's short version, else `version`
    QString releaseNotes;   // HTML
    QUrl releaseNotesLink;  // http or https only
    QUrl downloadPage;      // http or https only; the item's link, else its enclosure
};

// Feeds are a few kilobytes; anything far larger is not a feed and is not read whole.
constexpr qint64 kMaxAppcastBytes = 1024 * 1024;

// Reads the items of a feed. False, with a reason in `error`, when `xml` is not a
// well-formed RSS document. Items without a version are skipped.
bool parseAppcast(const QByteArray& xml, QList<SAppcastItem>* items, QString* error);

// The last dot-separated part of `version` as a number, or -1.
qint64 buildOfVersion(const QString& version);

// The item with the highest build above `currentBuild`, if there is one.
std::optional<SAppcastItem> newestItemAbove(const QList<SAppcastItem>& items, qint64 currentBuild);
