#include "xresources.h"

#include "x11session.h"

#include <QRegularExpression>

SXResources xResourcesOf(quint64 window)
{
    // A block per client: "N - name ( PID: ... ):" then "key : value" lines.
    const QString text = BL::Test::run(QStringLiteral("xrestop"), {"-b", "-m", "1"});
    SXResources found;
    SXResources block;
    quint64 base = 0, mask = 0;
    auto close = [&] {
        if (mask && (window & ~mask) == base) {
            found = block;
            found.found = true;
        }
        block = {};
        base = mask = 0;
    };
    static const QRegularExpression head(QStringLiteral("^\\d+ - .*\\(\\s*PID:"));
    static const QRegularExpression field(QStringLiteral("^\\s*([a-zA-Z_ ]+?)\\s*:\\s*~?(\\S+)"));
    for (const QString& line : text.split('\n')) {
        if (head.match(line).hasMatch()) {
            close();
            continue;
        }
        const auto m = field.match(line);
        if (!m.hasMatch())
            continue;
        const QString key = m.captured(1), value = m.captured(2);
        if (key == QLatin1String("res_base"))
            base = value.toULongLong(nullptr, 0);
        else if (key == QLatin1String("res_mask"))
            mask = value.toULongLong(nullptr, 0);
        else if (key == QLatin1String("windows"))
            block.windows = value.toInt();
        else if (key == QLatin1String("GCs"))
            block.gcs = value.toInt();
        else if (key == QLatin1String("pixmaps"))
            block.pixmaps = value.toInt();
        else if (key == QLatin1String("pictures"))
            block.pictures = value.toInt();
        else if (key == QLatin1String("pixmap bytes"))
            block.pixmapBytes = value.toLongLong();
        else if (key == QLatin1String("total bytes"))
            block.totalBytes = value.toLongLong();
    }
    close();
    return found;
}
