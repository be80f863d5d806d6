#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace BL::Server {

struct SFetchOptions
{
    bool allowPrivate = false;
    std::size_t maxBytes = 10 * 1024 * 1024;
    int timeoutMs = 10000;
    int maxRedirects = 3;
    int dnsTimeoutMs = 5000;                // for each host name look-up, within timeoutMs
    bool anyPort = false;                   // false: ports 80 and 443 only (allowPrivate lifts this too)
    std::size_t maxHeaderBytes = 16 * 1024; // all response header lines of one hop together
    // A body slower than lowSpeedBytes a second over lowSpeedSeconds ends the fetch before its
    // total time is up, so a trickling source frees the thread early.
    long lowSpeedBytes = 1024;
    long lowSpeedSeconds = 5;
    // Answers host name look-ups in place of the system resolver (tests give a host several
    // loopback addresses with it); empty: the system resolver, within dnsTimeoutMs.
    std::function<bool(const std::string& host, std::vector<std::string>* addresses)> resolve;
};

struct SFetchResult
{
    bool ok = false;
    int status = 0;     // HTTP status for our own reply when !ok (always 4xx)
    std::string reason; // short reason for the client when !ok: no commas or quotes
    std::string body;
};

// Gets an http or https URL for storing as an upload: bounded in time (timeoutMs for the whole
// fetch, redirects included), in header and body size, following at most maxRedirects redirects,
// each hop resolved and checked anew, trying each address of a host in turn. Hosts that resolve
// to loopback, private, link-local or otherwise non-public addresses are refused unless
// allowPrivate. The body is returned as sent: a Content-Encoding is never undone.
SFetchResult fetchUrl(const std::string& url, const SFetchOptions& options);

// True for addresses a fetch must never reach from the public side (given as text).
bool isNonPublicAddress(const std::string& address);

} // namespace BL::Server
