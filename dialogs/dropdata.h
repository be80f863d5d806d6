#pragma once

#include <QByteArray>
#include <QString>

class QMimeData;

namespace BL::Dialogs {

// What a drop means to the drop widget: a local file name, a link, both or neither.
struct SDropContents
{
    QString fileName;
    QString link;
};

// Reads a drop in the formats the Windows shell offers ("FileNameW", "UniformResourceLocatorW")
// and, where those are missing, in the ones X11 file managers and browsers offer (text/uri-list,
// text/x-moz-url, a URL as plain text). Only http and https count as links from the latter; a
// file:// URL counts as a file name.
SDropContents readDropContents(const QMimeData* mime);

// Decodes UTF-16 up to the first NUL unit or the end of the data, whichever comes first. Little
// endian unless a byte-order mark says otherwise; a dangling odd byte is ignored.
QString decodeUtf16(const QByteArray& data);

} // namespace BL::Dialogs
