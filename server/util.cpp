#include "server/util.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <openssl/evp.h>
#include <regex>
#include <stdexcept>
#include <string_view>
#include <sys/random.h>

namespace BL::Server {

void fillRandom(unsigned char* buffer, std::size_t size)
{
    while (size > 0) {
        const ssize_t got = getrandom(buffer, size, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("getrandom failed");
        }
        buffer += got;
        size -= static_cast<std::size_t>(got);
    }
}

std::string randomAlnum(std::size_t length)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string out;
    out.reserve(length);
    unsigned char pool[64];
    while (out.size() < length) {
        fillRandom(pool, sizeof pool);
        for (unsigned char byte : pool) {
            // 248 = 4 * 62: rejecting the rest keeps every character equally likely.
            if (byte < 248 && out.size() < length)
                out.push_back(alphabet[byte % 62]);
        }
    }
    return out;
}

std::string toHex(const unsigned char* data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

std::string randomHex(std::size_t bytes)
{
    std::vector<unsigned char> buffer(bytes);
    fillRandom(buffer.data(), buffer.size());
    return toHex(buffer.data(), buffer.size());
}

std::string sha1Hex(const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr) != 1)
        throw std::runtime_error("SHA-1 failed");
    return toHex(digest, length);
}

namespace {

std::atomic<std::int64_t> clockOffsetMs{0};

} // namespace

std::int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() +
           clockOffsetMs.load(std::memory_order_relaxed);
}

void setClockOffsetMs(std::int64_t offsetMs)
{
    clockOffsetMs.store(offsetMs, std::memory_order_relaxed);
}

std::string formatUtc(std::int64_t ms)
{
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
    return text;
}

static bool isAsciiAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isAlnumText(const std::string& text, std::size_t minLength, std::size_t maxLength)
{
    if (text.size() < minLength || text.size() > maxLength)
        return false;
    for (char c : text)
        if (!isAsciiAlnum(c))
            return false;
    return true;
}

bool isUserHash(const std::string& text)
{
    if (text.size() != 40)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

bool isAcceptableEmail(const std::string& text)
{
    // libstdc++'s matcher recurses per character: bound the input before matching.
    if (text.empty() || text.size() > 254)
        return false;
    static const std::regex pattern(R"(^[a-zA-Z0-9_.+-]+@[a-zA-Z0-9-]+\.[a-zA-Z0-9-.]+$)",
                                    std::regex::ECMAScript);
    return std::regex_match(text, pattern);
}

std::string htmlEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

static int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string percentDecode(const std::string& text, bool plusIsSpace)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(plusIsSpace && c == '+' ? ' ' : c);
    }
    return out;
}

std::string percentEncodeAll(const std::string& text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (isAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(digits[byte >> 4]);
            out.push_back(digits[byte & 15]);
        }
    }
    return out;
}

std::string percentEncodeUrlPart(const std::string& text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool keep =
            isAsciiAlnum(c) || std::string_view("-._~:/?#[]@!$&'()*+,;=%").find(c) != std::string_view::npos;
        if (keep) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(digits[byte >> 4]);
            out.push_back(digits[byte & 15]);
        }
    }
    return out;
}

std::map<std::string, std::string> parseForm(const std::string& body, bool plusIsSpace)
{
    std::map<std::string, std::string> fields;
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find('&', start);
        if (end == std::string::npos)
            end = body.size();
        const std::string pair = body.substr(start, end - start);
        if (!pair.empty()) {
            const std::size_t eq = pair.find('=');
            const std::string key = percentDecode(pair.substr(0, eq), plusIsSpace);
            const std::string value =
                eq == std::string::npos ? std::string() : percentDecode(pair.substr(eq + 1), plusIsSpace);
            fields.emplace(key, value);
        }
        start = end + 1;
    }
    return fields;
}

std::string jsonSafe(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '"' || c == ',' || c == '\\' || c == '{' || c == '}')
            continue;
        out.push_back(c);
    }
    return out;
}

std::string compactJson(const std::vector<std::pair<std::string, std::string>>& members)
{
    std::string out = "{";
    for (const auto& [key, value] : members) {
        if (out.size() > 1)
            out.push_back(',');
        out += '"' + jsonSafe(key) + "\":";
        // The client reads true/false as bare words; every other value is a string.
        if (value == "true" || value == "false")
            out += value;
        else
            out += '"' + jsonSafe(value) + '"';
    }
    out.push_back('}');
    return out;
}

std::string printable(const std::string& text, std::size_t maxLength)
{
    std::string out;
    for (char c : text) {
        if (out.size() >= maxLength) {
            out += "...";
            break;
        }
        const auto byte = static_cast<unsigned char>(c);
        out.push_back(byte < 0x20 || byte == 0x7f || c == ' ' ? '?' : c);
    }
    return out;
}

} // namespace BL::Server
