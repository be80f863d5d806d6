#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace BL::Server {

// Random bytes from the kernel's CSPRNG; throws std::runtime_error when it is unavailable.
void fillRandom(unsigned char* buffer, std::size_t size);

// Text of `length` characters drawn uniformly from [A-Za-z0-9].
std::string randomAlnum(std::size_t length);

// Two lowercase hexadecimal digits per byte.
std::string toHex(const unsigned char* data, std::size_t size);

// 2 * `bytes` lowercase hexadecimal digits of random data.
std::string randomHex(std::size_t bytes);

// SHA-1 of the bytes, as 40 lowercase hexadecimal digits.
std::string sha1Hex(const std::string& bytes);

// Milliseconds since the Unix epoch, by this process's clock.
std::int64_t nowMs();
// For tests: moves the clock nowMs() reads by `offsetMs`, so that expiry can be seen without
// waiting for it. A PostgreSQL store keeps the database's clock, which this does not move.
void setClockOffsetMs(std::int64_t offsetMs);

// "2024-05-01 13:45 UTC" for page listings.
std::string formatUtc(std::int64_t ms);

bool isAlnumText(const std::string& text, std::size_t minLength, std::size_t maxLength);
bool isUserHash(const std::string& text);
// The address pattern the desktop client accepts at sign-in, as a full match.
bool isAcceptableEmail(const std::string& text);

std::string htmlEscape(const std::string& text);

// Decodes %XX escapes; malformed escapes stay as they are. `plusIsSpace` for browser forms.
std::string percentDecode(const std::string& text, bool plusIsSpace);
// Escapes every byte outside the characters that may stand unescaped in a URL.
std::string percentEncodeUrlPart(const std::string& text);
// Every byte but letters, digits and "-._~" escaped: safe as a query value and inside a data
// address, where "#" and "%" mean something.
std::string percentEncodeAll(const std::string& text);

// Fields of an application/x-www-form-urlencoded body, first occurrence wins.
std::map<std::string, std::string> parseForm(const std::string& body, bool plusIsSpace);

// Flat, compact JSON object of string members. Values are cleaned so that the desktop
// client's minimal reader, which splits on commas and drops quotes and braces, reads them whole.
std::string compactJson(const std::vector<std::pair<std::string, std::string>>& members);

// A text safe inside compactJson: no quotes, commas, braces, backslashes or control bytes.
std::string jsonSafe(const std::string& text);

// Replaces control bytes so a client-supplied text cannot forge access-log lines.
std::string printable(const std::string& text, std::size_t maxLength);

} // namespace BL::Server
