#include "server/http_message.h"

#include "server/http_spool.h"
#include "server/util.h"

#include <algorithm>
#include <strings.h>

namespace BL::Server {

namespace {

std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The value of `name=` in a header's parameters ("form-data; name=\"x\""), unquoted.
std::string headerParameter(const std::string& header, const std::string& name)
{
    std::size_t at = header.find(';');
    while (at != std::string::npos) {
        const std::size_t next = header.find(';', at + 1);
        const std::string item =
            trimmed(header.substr(at + 1, next == std::string::npos ? next : next - at - 1));
        const std::size_t eq = item.find('=');
        if (eq != std::string::npos && sameHeaderName(trimmed(item.substr(0, eq)), name)) {
            std::string value = trimmed(item.substr(eq + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            return value;
        }
        at = next;
    }
    return {};
}

} // namespace

bool sameHeaderName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string SHttpRequest::header(const std::string& name, std::size_t index) const
{
    for (const auto& [key, value] : headers)
        if (sameHeaderName(key, name) && index-- == 0)
            return value;
    return {};
}

bool SHttpRequest::hasHeader(const std::string& name) const
{
    return headerCount(name) > 0;
}

std::size_t SHttpRequest::headerCount(const std::string& name) const
{
    std::size_t count = 0;
    for (const auto& header : headers)
        count += sameHeaderName(header.first, name) ? 1 : 0;
    return count;
}

std::string_view SHttpRequest::body() const
{
    return bodyFile ? bodyFile->view() : std::string_view(bodyText);
}

std::string SHttpRequest::param(const std::string& name) const
{
    const auto found = params.find(name);
    return found == params.end() ? std::string() : found->second;
}

bool SHttpRequest::isMultipart() const
{
    const std::string type = header("Content-Type");
    return type.size() >= 19 && ::strncasecmp(type.data(), "multipart/form-data", 19) == 0;
}

std::string SHttpResponse::header(const std::string& name) const
{
    for (const auto& [key, value] : headers)
        if (sameHeaderName(key, name))
            return value;
    return {};
}

bool SHttpResponse::hasHeader(const std::string& name) const
{
    for (const auto& header : headers)
        if (sameHeaderName(header.first, name))
            return true;
    return false;
}

void SHttpResponse::replaceHeader(const std::string& name, const std::string& value)
{
    headers.erase(std::remove_if(headers.begin(), headers.end(),
                                 [&name](const auto& header) { return sameHeaderName(header.first, name); }),
                  headers.end());
    setHeader(name, value);
}

void SHttpResponse::setContent(std::string content, const std::string& type)
{
    body = std::move(content);
    stream = nullptr;
    replaceHeader("Content-Type", type);
}

void SHttpResponse::setStream(std::uint64_t length, const std::string& type, FHttpBodyReader reader)
{
    body.clear();
    streamLength = length;
    stream = std::move(reader);
    replaceHeader("Content-Type", type);
}

void SHttpResponse::setRedirect(const std::string& location, int code)
{
    status = code;
    setHeader("Location", location);
}

bool parseMultipart(const std::string& contentType, std::string_view body,
                    std::multimap<std::string, SFormPart>* parts)
{
    const std::string boundary = headerParameter(contentType, "boundary");
    if (boundary.empty() || boundary.size() > 70)
        return false;
    const std::string delimiter = "--" + boundary;
    std::size_t at = body.find(delimiter);
    if (at == std::string::npos || (at != 0 && (at < 2 || body.compare(at - 2, 2, "\r\n") != 0)))
        return false;
    at += delimiter.size();
    while (true) {
        if (body.compare(at, 2, "--") == 0)
            return true;
        if (body.compare(at, 2, "\r\n") != 0)
            return false;
        at += 2;
        const std::size_t headEnd = body.find("\r\n\r\n", at);
        if (headEnd == std::string::npos)
            return false;
        SFormPart part;
        for (std::size_t line = at; line < headEnd;) {
            std::size_t end = body.find("\r\n", line);
            if (end == std::string::npos || end > headEnd)
                end = headEnd;
            const std::string text(body.substr(line, end - line));
            const std::size_t colon = text.find(':');
            if (colon == std::string::npos)
                return false;
            const std::string name = trimmed(text.substr(0, colon));
            const std::string value = trimmed(text.substr(colon + 1));
            if (sameHeaderName(name, "Content-Disposition")) {
                part.name = headerParameter(value, "name");
                part.filename = headerParameter(value, "filename");
            } else if (sameHeaderName(name, "Content-Type")) {
                part.contentType = value;
            }
            line = end + 2;
        }
        const std::size_t contentStart = headEnd + 4;
        const std::size_t next = body.find(std::string_view("\r\n" + delimiter), contentStart);
        if (next == std::string::npos)
            return false;
        part.content = body.substr(contentStart, next - contentStart);
        if (part.name.empty())
            return false;
        std::string name = part.name;
        parts->emplace(std::move(name), std::move(part));
        at = next + 2 + delimiter.size();
    }
}

std::multimap<std::string, std::string> parseQuery(const std::string& query)
{
    std::multimap<std::string, std::string> fields;
    std::size_t start = 0;
    while (start < query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos)
            end = query.size();
        const std::string pair = query.substr(start, end - start);
        const std::size_t eq = pair.find('=');
        if (!pair.empty()) {
            fields.emplace(percentDecode(pair.substr(0, eq), true),
                           eq == std::string::npos ? std::string()
                                                   : percentDecode(pair.substr(eq + 1), true));
        }
        start = end + 1;
    }
    return fields;
}

} // namespace BL::Server
