#pragma once

#include <string>

namespace BL::Server {

// An http or https URL as a fetch uses it.
struct SUrl
{
    std::string scheme; // "http" or "https"
    std::string host;   // without the brackets of an IPv6 literal
    int port = 0;
    std::string target; // path and query, percent-encoded
};

// Reads an absolute http or https URL; false for anything else (user info included).
bool parseUrl(const std::string& text, SUrl* url);

// The absolute URL a Location header points to, seen from `base`: an absolute URL, one without
// its scheme, an absolute path, a query alone, or a path relative to the base's directory.
std::string resolveLocation(const SUrl& base, std::string location);

// `url` written out again, with its port, for a client library to parse.
std::string urlText(const SUrl& url);

// The host as it stands in a URL: an IPv6 literal in brackets.
std::string hostInUrl(const std::string& host);

} // namespace BL::Server
