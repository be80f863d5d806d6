#include "api/simplejson.h"

#include <QStringList>

CSimpleJson::CSimpleJson(const QByteArray& data)
{
    const int zero = data.indexOf('\0');
    QString text = QString::fromUtf8(data.constData(), zero < 0 ? data.size() : zero);
    text.remove(QLatin1Char('{'));
    text.remove(QLatin1Char('}'));

    // Split once: re-splitting per member would make large replies quadratic.
    const QStringList sections = text.split(QLatin1Char(','));
    for (QString section : sections) {
        // An empty member ends the reading; whatever follows it is ignored.
        if (section.isEmpty())
            break;
        QString key = section.left(section.indexOf(QLatin1Char(':')));
        // Every occurrence goes, not only the leading one: the service relies on this.
        if (!key.isEmpty())
            section.remove(key);
        key.remove(QLatin1Char('"'));
        section.remove(0, 1);
        section.remove(QLatin1Char('"'));
        m_values.insert(key, section);
    }
}

QString CSimpleJson::value(const QString& key) const
{
    return m_values.value(key);
}
