#pragma once

#include "server/hash_key.h"

#include <string>

namespace BL::Server {

class CObjectStore;

// Copies everything the SQLite store at `sqlitePath` holds (accounts, codes with their pictures,
// sessions, crash reports) into the PostgreSQL database `conninfo`, which must hold none yet,
// in one transaction. Both are keyed with `key`, so keyed credential hashes are copied as they
// are. When `from` and `to` are given, the picture and report files are copied between them
// first. Returns a one-line account of what was copied; throws std::runtime_error.
std::string copySqliteToPg(const std::string& sqlitePath, const std::string& conninfo, const CHashKey& key,
                           CObjectStore* fromPictures, CObjectStore* toPictures, CObjectStore* fromReports,
                           CObjectStore* toReports);

} // namespace BL::Server
