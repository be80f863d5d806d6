#pragma once

#include <string>

namespace BL::Server {

// The service's secret for storing credential hashes: the desktop client's hash is a password
// equivalent, so the database keeps only HMAC-SHA-256(secret, hash). A copied database then
// signs nobody in without the secret file, and look-ups still work by keying the hash that
// comes in.
class CHashKey
{
public:
    // Reads the secret from `path`, or creates it (32 random bytes as hex, mode 0600) when the
    // file does not exist; two services starting at once end up with the same one. Throws
    // std::runtime_error for a file that cannot be read or does not hold a secret: replacing it
    // would lock every account out.
    static CHashKey loadOrCreate(const std::string& path);

    explicit CHashKey(std::string secret) : m_secret(std::move(secret)) {}

    // 64 lowercase hexadecimal digits.
    std::string keyed(const std::string& clientHash) const;

private:
    std::string m_secret;
};

} // namespace BL::Server
