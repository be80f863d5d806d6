#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// Reader of the service's flat, compact JSON replies into a map of text keys to
// text values. It is deliberately naive (plain splitting on commas and colons,
// quotes and braces dropped, no whitespace skipping, no escapes) because the
// service writes its replies to match exactly this reading; do not "improve" it
// into a real JSON parser without changing the service too.
class CSimpleJson
{
public:
    explicit CSimpleJson(const QByteArray& data);

    // The value stored for the key, or an empty text when there is none.
    QString value(const QString& key) const;

private:
    QMap<QString, QString> m_values;
};
