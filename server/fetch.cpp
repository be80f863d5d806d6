#include "server/fetch.h"

#include "server/util.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <httplib.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <thread>
#include <vector>

namespace BL::Server {

namespace {

struct SUrl
{
    std::string scheme;
    std::string host;
    int port = 0;
    std::string target; // path and query
};

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

// The absolute URL a Location header points to, seen from `base`: an absolute URL, one without
// its scheme, an absolute path, a query alone, or a path relative to the base's directory.
std::string resolveLocation(const SUrl& base, std::string location)
{
    location = location.substr(0, location.find('#'));
    if (hasScheme(location))
        return location;
    if (location.rfind("//", 0) == 0)
        return base.scheme + ":" + location;
    const std::string origin =
        base.scheme + "://" + (base.host.find(':') != std::string::npos ? "[" + base.host + "]" : base.host) +
        ":" + std::to_string(base.port);
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

// The addresses of `host` as text, or false when the look-up fails or outlasts `timeoutMs`. The
// system resolver cannot be interrupted, so it runs on a thread of its own that is left to
// finish alone when the deadline passes.
bool resolveWithin(const std::string& host, int timeoutMs, std::vector<std::string>* addresses)
{
    struct SLookup
    {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::vector<std::string> addresses;
    };
    auto lookup = std::make_shared<SLookup>();
    std::thread([lookup, host] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        std::vector<std::string> result;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
            for (addrinfo* entry = found; entry; entry = entry->ai_next) {
                char text[INET6_ADDRSTRLEN] = {};
                const void* raw =
                    entry->ai_family == AF_INET
                        ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr)
                        : static_cast<const void*>(
                              &reinterpret_cast<sockaddr_in6*>(entry->ai_addr)->sin6_addr);
                if (inet_ntop(entry->ai_family, raw, text, sizeof text))
                    result.push_back(text);
            }
            freeaddrinfo(found);
        }
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->addresses = std::move(result);
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(std::max(1, timeoutMs)),
                               [&] { return lookup->finished; }))
        return false;
    *addresses = lookup->addresses;
    return !addresses->empty();
}

SFetchResult refusal(int status, const char* reason)
{
    SFetchResult result;
    result.status = status;
    result.reason = reason;
    return result;
}

} // namespace

bool isNonPublicAddress(const std::string& address)
{
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        const std::uint32_t a = ntohl(v4.s_addr);
        const auto in = [a](std::uint32_t net, int bits) {
            return bits == 0 || (a >> (32 - bits)) == (net >> (32 - bits));
        };
        return in(0x00000000, 8) || in(0x0a000000, 8) || in(0x7f000000, 8) || in(0x64400000, 10) ||
               in(0xa9fe0000, 16) || in(0xac100000, 12) || in(0xc0000000, 24) || in(0xc0000200, 24) ||
               in(0xc0a80000, 16) || in(0xc6120000, 15) || in(0xc6336400, 24) || in(0xcb007100, 24) ||
               in(0xe0000000, 4) || in(0xf0000000, 4);
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
        const unsigned char* b = v6.s6_addr;
        static const unsigned char zero[16] = {};
        const bool unspecifiedOrLoopback = std::memcmp(b, zero, 15) == 0 && (b[15] == 0 || b[15] == 1);
        const bool v4Mapped = std::memcmp(b, zero, 10) == 0 && b[10] == 0xff && b[11] == 0xff;
        if (v4Mapped) {
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, b + 12, text, sizeof text);
            return isNonPublicAddress(text);
        }
        const bool v4Compatible = std::memcmp(b, zero, 12) == 0; // ::/96, unspecified and loopback too
        return unspecifiedOrLoopback || v4Compatible || (b[0] & 0xfe) == 0xfc /* unique local */ ||
               (b[0] == 0xfe && (b[1] & 0xc0) == 0xc0) /* site-local */ ||
               (b[0] == 0x20 && b[1] == 0x02) /* 6to4, an IPv4 address inside */ ||
               (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0 && b[3] == 0) /* Teredo, likewise */ ||
               (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) /* link-local */ || b[0] == 0xff /* multicast */ ||
               (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0x0d && b[3] == 0xb8) /* documentation */ ||
               (b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xff && b[3] == 0x9b) /* NAT64 */;
    }
    return true;
}

SFetchResult fetchUrl(const std::string& firstUrl, const SFetchOptions& options)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
    std::string current = firstUrl;
    for (int hop = 0; hop <= options.maxRedirects; ++hop) {
        SUrl url;
        if (!parseUrl(current, &url))
            return refusal(400, "invalid url");

        // Resolve once and connect to exactly the address that was checked, so a name cannot
        // change its answer between the check and the connection.
        const auto lookupLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        std::vector<std::string> addresses;
        const bool resolved = options.resolve ? options.resolve(url.host, &addresses)
                                              : resolveWithin(url.host,
                                                              static_cast<int>(std::min<long long>(
                                                                  lookupLeft.count(), options.dnsTimeoutMs)),
                                                              &addresses);
        if (!resolved || addresses.empty())
            return refusal(422, "host not found");
        bool refused = false;
        for (const std::string& text : addresses)
            refused = refused || (!options.allowPrivate && isNonPublicAddress(text));
        if (refused)
            return refusal(403, "address not allowed");
        if (!options.allowPrivate && !options.anyPort && url.port != 80 && url.port != 443)
            return refusal(403, "port not allowed");

        SFetchResult result;
        bool tooLarge = false;
        bool timedOut = false;
        std::string location;
        int status = 0;
        httplib::Result response(nullptr, httplib::Error::Connection, httplib::Headers{});
        for (const std::string& address : addresses) {
            const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (remaining.count() <= 0)
                return refusal(422, "fetch timed out");
            const std::string hostPart =
                url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
            httplib::Client client(url.scheme + "://" + hostPart + ":" + std::to_string(url.port));
            client.set_hostname_addr_map({{url.host, address}});
            client.set_connection_timeout(std::chrono::milliseconds(remaining));
            client.set_read_timeout(std::chrono::milliseconds(remaining));
            client.set_write_timeout(std::chrono::milliseconds(remaining));
            client.set_follow_location(false);
            client.set_keep_alive(false);
            // The target is already percent-encoded by parseUrl; encoding it again would turn
            // a "+" of the query into "%2B", which the source may read differently.
            client.set_url_encode(false);

            response = client.Get(
                url.target, httplib::Headers{{"User-Agent", "brightloom-server"}, {"Accept", "image/*"}},
                [&](const httplib::Response& head) {
                    status = head.status;
                    if (status >= 300 && status < 400) {
                        location = head.get_header_value("Location");
                        return false;
                    }
                    if (head.has_header("Content-Length") &&
                        std::strtoull(head.get_header_value("Content-Length").c_str(), nullptr, 10) >
                            options.maxBytes) {
                        tooLarge = true;
                        return false;
                    }
                    return status == 200;
                },
                [&](const char* data, std::size_t length) {
                    if (result.body.size() + length > options.maxBytes) {
                        tooLarge = true;
                        return false;
                    }
                    if (std::chrono::steady_clock::now() > deadline) {
                        timedOut = true;
                        return false;
                    }
                    result.body.append(data, length);
                    return true;
                });
            // Only an address that could not be reached is worth trying the next one for.
            if (response || response.error() != httplib::Error::Connection)
                break;
        }
        if (tooLarge)
            return refusal(413, "file too large");
        if (timedOut)
            return refusal(422, "fetch timed out");
        if (status >= 300 && status < 400 && status != 304) {
            if (location.empty())
                return refusal(422, "fetch failed");
            current = resolveLocation(url, location);
            continue;
        }
        if (!response) {
            return refusal(422, response.error() == httplib::Error::Read ||
                                        std::chrono::steady_clock::now() > deadline
                                    ? "fetch timed out"
                                    : "fetch failed");
        }
        if (status != 200)
            return refusal(422, "fetch failed");
        result.ok = true;
        return result;
    }
    return refusal(422, "too many redirects");
}

} // namespace BL::Server
