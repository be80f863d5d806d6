#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace BL::Exceptions {

// Common base of the program's own exceptions, so one handler can catch them all.
class CGenericException : public std::exception
{
};

class CCreateDirectoryException : public CGenericException
{
public:
    CCreateDirectoryException(const QString& path, const QString& reason);

    QString message() const;
    // Valid for as long as this object lives.
    const char* what() const noexcept override;

    QString path;
    QString reason;

private:
    QByteArray m_what;
};

} // namespace BL::Exceptions
