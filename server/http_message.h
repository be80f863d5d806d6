#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace BL::Server {

class CSpoolFile;

using SHttpHeaders = std::vector<std::pair<std::string, std::string>>;

// One part of a multipart/form-data body.
struct SFormPart
{
    std::string name;
    std::string filename;
    std::string contentType;
    std::string_view content; // within the request's body
};

// A request as the routes see it: the path percent-decoded and without its query, the body whole.
struct SHttpRequest
{
    std::string method;
    std::string target; // as sent, query included
    std::string path;
    // The body is kept in one of the two: a small one as text, a large one in a mapped file.
    std::string bodyText;
    std::shared_ptr<CSpoolFile> bodyFile;
    std::string remoteAddress;
    SHttpHeaders headers;
    std::multimap<std::string, std::string> params; // the query's
    // The route pattern's captures; an unmatched optional group is empty.
    std::vector<std::string> matches;
    std::multimap<std::string, SFormPart> files; // the parts of a multipart body, by name

    // Header names compare without regard to case; `index` counts repeated headers.
    std::string header(const std::string& name, std::size_t index = 0) const;
    bool hasHeader(const std::string& name) const;
    std::size_t headerCount(const std::string& name) const;
    bool hasParam(const std::string& name) const { return params.count(name) > 0; }
    std::string param(const std::string& name) const;
    bool hasFile(const std::string& name) const { return files.count(name) > 0; }
    bool isMultipart() const;
    std::string_view body() const;
};

// Reads up to `length` bytes at `offset` into `buffer`; 0 ends the body early (an error).
using FHttpBodyReader = std::function<std::size_t(std::uint64_t offset, char* buffer, std::size_t length)>;

struct SHttpResponse
{
    int status = -1; // -1: no route answered
    SHttpHeaders headers;
    std::string body;
    // A body streamed from elsewhere instead of `body`: `streamLength` bytes from `stream`.
    FHttpBodyReader stream;
    std::uint64_t streamLength = 0;

    // Adds a header; a name may repeat (Set-Cookie).
    void setHeader(const std::string& name, const std::string& value) { headers.emplace_back(name, value); }
    void replaceHeader(const std::string& name, const std::string& value);
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
    void setContent(std::string content, const std::string& type);
    void setStream(std::uint64_t length, const std::string& type, FHttpBodyReader reader);
    void setRedirect(const std::string& location, int code = 302);
};

bool sameHeaderName(const std::string& a, const std::string& b);

// Splits a multipart/form-data body by the boundary of `contentType`; false for a malformed one.
bool parseMultipart(const std::string& contentType, std::string_view body,
                    std::multimap<std::string, SFormPart>* parts);

// The query string's fields, percent-decoded with '+' as a blank.
std::multimap<std::string, std::string> parseQuery(const std::string& query);

} // namespace BL::Server
