#include "server/fetch_url.h"

#include "server/util.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace BL::Server {

namespace {

// `path` without its "." and ".." segments, as a browser reads it ("/a/b/../c" is "/a/c").
std::string removeDotSegments(const std::string& path)
{
    std::vector<std::string> kept;
    bool endsInDirectory = false;
    std::size_t start = 1;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string segment = path.substr(start, end - start);
        const bool last = end == path.size();
        endsInDirectory = false;
        if (segment == "..") {
            if (!kept.empty())
                kept.pop_back();
            endsInDirectory = last;
        } else if (segment == ".") {
            endsInDirectory = last;
        } else {
            kept.push_back(segment);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& segment : kept)
        result += "/" + segment;
    return endsInDirectory || result.empty() ? result + "/" : result;
}

// True when `reference` starts with a scheme ("http:"), so it is an absolute URL.
bool hasScheme(const std::string& reference)
{
    const std::size_t colon = reference.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(reference[0])))
        return false;
    for (std::size_t i = 1; i < colon; ++i) {
        const char c = reference[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

} // namespace

bool parseUrl(const std::string& text, SUrl* url)
{
    const std::size_t colon = text.find("://");
    if (colon == std::string::npos)
        return false;
    url->scheme = text.substr(0, colon);
    for (char& c : url->scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (url->scheme != "http" && url->scheme != "https")
        return false;
    const std::size_t authorityStart = colon + 3;
    std::size_t authorityEnd = text.find_first_of("/?#", authorityStart);
    if (authorityEnd == std::string::npos)
        authorityEnd = text.size();
    const std::string authority = text.substr(authorityStart, authorityEnd - authorityStart);
    if (authority.empty() || authority.find('@') != std::string::npos)
        return false;
    std::string portText;
    if (authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos)
            return false;
        url->host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':')
                return false;
            portText = authority.substr(close + 2);
        }
    } else {
        const std::size_t portColon = authority.rfind(':');
        url->host = authority.substr(0, portColon);
        if (portColon != std::string::npos)
            portText = authority.substr(portColon + 1);
    }
    url->port = url->scheme == "https" ? 443 : 80;
    if (!portText.empty()) {
        if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
            return false;
        url->port = std::stoi(portText);
        if (url->port < 1 || url->port > 65535)
            return false;
    }
    if (url->host.empty() || url->host.find_first_of(" \t\r\n%/\\") != std::string::npos)
        return false;
    std::string target = text.substr(authorityEnd);
    const std::size_t fragment = target.find('#');
    if (fragment != std::string::npos)
        target.erase(fragment);
    if (target.empty() || target[0] != '/')
        target.insert(0, "/");
    url->target = percentEncodeUrlPart(target);
    return true;
}

std::string resolveLocation(const SUrl& base, std::string location)
{
    location = location.substr(0, location.find('#'));
    if (hasScheme(location))
        return location;
    if (location.rfind("//", 0) == 0)
        return base.scheme + ":" + location;
    const std::string origin = base.scheme + "://" + hostInUrl(base.host) + ":" + std::to_string(base.port);
    const std::string basePath = base.target.substr(0, base.target.find('?'));
    if (location.empty())
        return origin + base.target;
    if (location[0] == '?')
        return origin + basePath + location;
    const std::size_t queryStart = std::min(location.find('?'), location.size());
    std::string path = location.substr(0, queryStart);
    if (path.empty() || path[0] != '/')
        path = basePath.substr(0, basePath.rfind('/') + 1) + path;
    return origin + removeDotSegments(path) + location.substr(queryStart);
}

std::string hostInUrl(const std::string& host)
{
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

std::string urlText(const SUrl& url)
{
    return url.scheme + "://" + hostInUrl(url.host) + ":" + std::to_string(url.port) + url.target;
}

} // namespace BL::Server
