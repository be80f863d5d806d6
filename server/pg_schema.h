#pragma once

namespace BL::Server {

class CHashKey;
class CPgConnection;

// Brings a PostgreSQL database to the newest schema, the same versions as the SQLite store's
// (schema_version holds the one it has); nodes starting at once take turns by an advisory lock.
// Throws std::runtime_error for a database of a newer version, or one whose credential hashes
// were keyed with another key than `key`.
void migratePgSchema(CPgConnection& connection, const CHashKey& key);

} // namespace BL::Server
