#pragma once

#include <string>

struct sqlite3;

namespace BL::Server {

// The newest schema version of the SQLite store; PRAGMA user_version holds the one a file has.
// Version 0 is a file from before the versions were counted: empty, or holding version 1's tables.
constexpr int latestSchemaVersion = 4;

// One step of a store's schema: the statements that bring version - 1 to `version`.
struct SMigration
{
    int version;
    const char* sql;
};

// Runs `sql` (one or more statements); throws std::runtime_error on failure.
void execSql(sqlite3* db, const char* sql);

int schemaVersion(sqlite3* db);

// Refuses, by throwing std::runtime_error, a database this program must not touch: one of a newer
// schema version, or an unversioned one holding tables that are not the service's. Writes nothing.
void checkSchemaKnown(sqlite3* db, const std::string& path);

// The SQL function through which migrations key stored credential hashes; the store registers
// it on its connection before migrating.
constexpr char keyedHashFunction[] = "bl_keyed_hash";
// The text whose keyed hash tells whether the hash key in use is the one the rows were keyed with.
constexpr char keyCheckText[] = "brightloom hash key check";

// Applies the migrations the database lacks, in order, each in a transaction of its own.
void migrateSchema(sqlite3* db, const std::string& path);

} // namespace BL::Server
