#include "server/fetch.h"

#include "server/fetch_url.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <thread>
#include <vector>

namespace BL::Server {

namespace {

using FClock = std::chrono::steady_clock;

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

// One address of a host, as the kernel compares it.
struct SPinnedAddress
{
    int family = AF_UNSPEC;
    unsigned char bytes[16] = {};
    int port = 0;

    bool parse(const std::string& text, int portNumber)
    {
        port = portNumber;
        if (inet_pton(AF_INET, text.c_str(), bytes) == 1)
            family = AF_INET;
        else if (inet_pton(AF_INET6, text.c_str(), bytes) == 1)
            family = AF_INET6;
        return family != AF_UNSPEC;
    }
    bool matches(const curl_sockaddr& address) const
    {
        if (address.family != family)
            return false;
        if (family == AF_INET) {
            const auto& v4 = reinterpret_cast<const sockaddr_in&>(address.addr);
            return ntohs(v4.sin_port) == port && std::memcmp(&v4.sin_addr, bytes, 4) == 0;
        }
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address.addr);
        return ntohs(v6.sin6_port) == port && std::memcmp(&v6.sin6_addr, bytes, 16) == 0;
    }
};

// What one request learns, filled in by libcurl's callbacks.
struct STransfer
{
    const SFetchOptions* options = nullptr;
    SPinnedAddress pinned;
    bool strayAddress = false; // libcurl wanted to connect to an address nobody checked
    std::size_t headerBytes = 0;
    bool headersTooLarge = false;
    bool headersDone = false;
    bool tooLarge = false;
    bool stopped = false; // ended on purpose after the header block of a status that is not 200
    int status = 0;
    std::string location;
    std::string body;
};

std::string lowerCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Every header line of every response block passes here, the status lines included; returning
// anything but `length` makes libcurl end the transfer.
std::size_t onHeaderLine(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* transfer = static_cast<STransfer*>(user);
    const std::size_t length = size * count;
    transfer->headerBytes += length;
    if (transfer->headerBytes > transfer->options->maxHeaderBytes) {
        transfer->headersTooLarge = true;
        return 0;
    }
    std::string line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
        const std::size_t space = line.find(' ');
        transfer->status = space == std::string::npos ? 0 : std::atoi(line.c_str() + space + 1);
        transfer->location.clear();
        return length;
    }
    if (line.empty()) {
        if (transfer->status >= 100 && transfer->status < 200)
            return length; // an interim answer: the real one follows
        if (transfer->status != 200) {
            // A redirect or a refusal: its body is of no use.
            transfer->stopped = true;
            return 0;
        }
        transfer->headersDone = true;
        return length;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos)
        return length;
    const std::string name = lowerCase(trimmed(line.substr(0, colon)));
    const std::string value = trimmed(line.substr(colon + 1));
    if (name == "location") {
        transfer->location = value;
    } else if (name == "content-length" && transfer->status == 200) {
        // Refused before a byte of the body is read; digits beyond twenty are over any cap.
        const bool digits = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
        if (digits && (value.size() > 19 || std::stoull(value) > transfer->options->maxBytes)) {
            transfer->tooLarge = true;
            return 0;
        }
    }
    return length;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* transfer = static_cast<STransfer*>(user);
    const std::size_t length = size * count;
    if (transfer->body.size() + length > transfer->options->maxBytes) {
        transfer->tooLarge = true;
        return 0;
    }
    transfer->body.append(data, length);
    return length;
}

// libcurl opens its sockets here, so it can only ever connect to the address that was checked,
// whatever it makes of the URL's host.
curl_socket_t openPinnedSocket(void* user, curlsocktype purpose, curl_sockaddr* address)
{
    auto* transfer = static_cast<STransfer*>(user);
    if (purpose != CURLSOCKTYPE_IPCXN || !transfer->pinned.matches(*address)) {
        transfer->strayAddress = true;
        return CURL_SOCKET_BAD;
    }
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// How libcurl ends a response whose one header line outgrows its buffer.
bool isOversizedLine(CURLcode code)
{
#if LIBCURL_VERSION_NUM >= 0x080600
    if (code == CURLE_TOO_LARGE)
        return true;
#endif
    return code == CURLE_OUT_OF_MEMORY;
}

enum class EHop { Done, Redirect, NextAddress };

// One GET of `url` from `address`, within what is left until `deadline`. Fills `result` with
// the body (Done and ok), the next URL (Redirect), or the refusal.
EHop fetchFrom(const SUrl& url, const std::string& address, FClock::time_point deadline,
               const SFetchOptions& options, SFetchResult* result, std::string* next)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - FClock::now()).count();
    if (left <= 0) {
        *result = refusal(422, "fetch timed out");
        return EHop::Done;
    }
    STransfer transfer;
    transfer.options = &options;
    if (!transfer.pinned.parse(address, url.port))
        return EHop::NextAddress;

    initCurlOnce();
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        *result = refusal(422, "fetch failed");
        return EHop::Done;
    }
    // The name resolves to the checked address alone (libcurl looks a name up without its final
    // dot). An IPv6 literal needs no look-up: the socket check below holds it to the address.
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> resolve(nullptr, curl_slist_free_all);
    if (url.host.find(':') == std::string::npos) {
        const std::string pin = ":" + std::to_string(url.port) + ":" + hostInUrl(address);
        resolve.reset(curl_slist_append(nullptr, (url.host + pin).c_str()));
        if (resolve && url.host.size() > 1 && url.host.back() == '.')
            curl_slist_append(resolve.get(), (url.host.substr(0, url.host.size() - 1) + pin).c_str());
    }
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(curl_slist_append(nullptr, "Accept: image/*"),
                                                               curl_slist_free_all);
    const std::string target = urlText(url);
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, target.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_PROXY, ""); // never the environment's proxy
    curl_easy_setopt(handle, CURLOPT_RESOLVE, resolve.get());
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, openPinnedSocket);
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(handle, CURLOPT_HTTP09_ALLOWED, 0L);
    // The body is stored as it came: no Accept-Encoding is sent and nothing is inflated.
    curl_easy_setopt(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "brightloom-server");
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(left));
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(left));
    if (options.lowSpeedSeconds > 0) {
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, options.lowSpeedBytes);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, options.lowSpeedSeconds);
    }
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, onHeaderLine);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    const CURLcode code = curl_easy_perform(handle);

    if (transfer.strayAddress) {
        *result = refusal(403, "address not allowed");
        return EHop::Done;
    }
    // libcurl refuses a single header line of over 100 KiB itself, before the callback sees it.
    if (transfer.headersTooLarge || (!transfer.headersDone && !transfer.stopped && isOversizedLine(code))) {
        *result = refusal(422, "response headers too large");
        return EHop::Done;
    }
    if (transfer.tooLarge) {
        *result = refusal(413, "file too large");
        return EHop::Done;
    }
    if (transfer.stopped) {
        if (transfer.status >= 300 && transfer.status < 400 && transfer.status != 304 &&
            !transfer.location.empty()) {
            *next = resolveLocation(url, transfer.location);
            return EHop::Redirect;
        }
        *result = refusal(422, "fetch failed");
        return EHop::Done;
    }
    // Only an address that could not be reached is worth trying the next one for.
    if (code == CURLE_COULDNT_CONNECT)
        return EHop::NextAddress;
    if (code == CURLE_OPERATION_TIMEDOUT) {
        // The total time ends at the deadline; the low-speed limit ends earlier.
        *result = refusal(422, FClock::now() + std::chrono::milliseconds(50) >= deadline ? "fetch timed out"
                                                                                         : "fetch too slow");
        return EHop::Done;
    }
    if (code == CURLE_URL_MALFORMAT) {
        *result = refusal(400, "invalid url");
        return EHop::Done;
    }
    if (code != CURLE_OK || transfer.status != 200) {
        *result = refusal(422, "fetch failed");
        return EHop::Done;
    }
    result->ok = true;
    result->status = 200;
    result->body = std::move(transfer.body);
    return EHop::Done;
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
    const auto deadline = FClock::now() + std::chrono::milliseconds(options.timeoutMs);
    std::string current = firstUrl;
    for (int hop = 0; hop <= options.maxRedirects; ++hop) {
        SUrl url;
        if (!parseUrl(current, &url))
            return refusal(400, "invalid url");

        // Resolve once and connect to exactly the addresses that were checked, so a name cannot
        // change its answer between the check and the connection.
        const auto lookupLeft =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - FClock::now()).count();
        std::vector<std::string> addresses;
        const bool resolved =
            options.resolve
                ? options.resolve(url.host, &addresses)
                : resolveWithin(url.host,
                                static_cast<int>(std::min<long long>(lookupLeft, options.dnsTimeoutMs)),
                                &addresses);
        if (!resolved || addresses.empty())
            return refusal(422, "host not found");
        for (const std::string& text : addresses)
            if (!options.allowPrivate && isNonPublicAddress(text))
                return refusal(403, "address not allowed");
        if (!options.allowPrivate && !options.anyPort && url.port != 80 && url.port != 443)
            return refusal(403, "port not allowed");

        SFetchResult result = refusal(422, "fetch failed");
        std::string next;
        EHop outcome = EHop::NextAddress;
        for (std::size_t i = 0; i < addresses.size() && outcome == EHop::NextAddress; ++i)
            outcome = fetchFrom(url, addresses[i], deadline, options, &result, &next);
        if (outcome != EHop::Redirect)
            return result;
        current = next;
    }
    return refusal(422, "too many redirects");
}

} // namespace BL::Server
