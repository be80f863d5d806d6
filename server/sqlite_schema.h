#pragma once

#include "server/store_rules.h"

#include <string>

struct sqlite3;

namespace BL::Server {

// PRAGMA user_version holds the schema version a file has (latestSchemaVersion the newest).

// Runs `sql` (one or more statements); throws std::runtime_error on failure.
void execSql(sqlite3* db, const char* sql);

int schemaVersion(sqlite3* db);

// Refuses, by throwing std::runtime_error, a database this program must not touch: one of a newer
// schema version, or an unversioned one holding tables that are not the service's. Writes nothing.
void checkSchemaKnown(sqlite3* db, const std::string& path);

// The SQL function through which migrations key stored credential hashes; the store registers
// it on its connection before migrating.
constexpr char keyedHashFunction[] = "bl_keyed_hash";

// Applies the migrations the database lacks, in order, each in a transaction of its own.
void migrateSchema(sqlite3* db, const std::string& path);

} // namespace BL::Server
