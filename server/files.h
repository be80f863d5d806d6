#pragma once

#include "server/object_store.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace BL::Server {

// A directory whose files are written so that a crash leaves either the whole file under
// its final name or nothing: written under a temporary name, flushed, renamed, and the
// directory entry flushed too. With several nodes, a directory they all mount: a temporary's
// name carries its writer's host and process, ".tmp-HOST+PID+NAME".
class CDurableDirectory : public CObjectStore
{
public:
    // Creates the directory if needed and removes temporaries a crash left: those of this host
    // whose process is gone, and any older than `staleTempMs` by the directory's own clock (a
    // writer on another node that has not finished by then is not coming back). Throws on failure.
    explicit CDurableDirectory(const std::string& path, std::int64_t staleTempMs = 60 * 60 * 1000);
    ~CDurableDirectory() override;

    const std::string& path() const { return m_path; }
    std::string filePath(const std::string& name) const { return m_path + "/" + name; }

    bool put(const std::string& name, std::string_view data, std::string* error) override;
    bool get(const std::string& name, std::string* data) const override;
    std::unique_ptr<CObjectReader> open(const std::string& name) const override;
    void remove(const std::string& name) override;
    std::vector<SObjectEntry> list() const override;
    // The modification time of a file created now in the directory: on a shared mount, the file
    // server's clock.
    std::int64_t clockMs() override;

private:
    void removeDeadTemporaries(std::int64_t staleTempMs);

    std::string m_path;
    int m_dirFd = -1;
    // ".tmp-HOST+PID+", the start of this process's temporaries' names.
    std::string m_tempPrefix;
};

// mkdir -p; throws std::runtime_error on failure.
void makeDirectories(const std::string& path);

} // namespace BL::Server
