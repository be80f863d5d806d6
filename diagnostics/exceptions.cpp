#include "diagnostics/exceptions.h"

namespace BL::Exceptions {

CCreateDirectoryException::CCreateDirectoryException(const QString& path, const QString& reason)
    : path(path), reason(reason), m_what(message().toUtf8())
{
}

QString CCreateDirectoryException::message() const
{
    // Both at once: substituted one after the other, a "%2" inside the path would take the reason.
    return QStringLiteral("Failed to create '%1', the reason: %2.").arg(path, reason);
}

const char* CCreateDirectoryException::what() const noexcept
{
    return m_what.constData();
}

} // namespace BL::Exceptions
