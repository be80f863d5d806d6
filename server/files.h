#pragma once

#include "server/object_store.h"

#include <string>
#include <string_view>

namespace BL::Server {

// A directory whose files are written so that a crash leaves either the whole file under
// its final name or nothing: written under a temporary name, flushed, renamed, and the
// directory entry flushed too. With several nodes, a directory they all mount.
class CDurableDirectory : public CObjectStore
{
public:
    // Creates the directory if needed, removes temporaries left by a crash; throws on failure.
    explicit CDurableDirectory(const std::string& path);
    ~CDurableDirectory() override;

    const std::string& path() const { return m_path; }
    std::string filePath(const std::string& name) const { return m_path + "/" + name; }

    bool put(const std::string& name, std::string_view data, std::string* error) override;
    bool get(const std::string& name, std::string* data) const override;
    std::unique_ptr<CObjectReader> open(const std::string& name) const override;
    void remove(const std::string& name) override;
    std::vector<SObjectEntry> list() const override;

private:
    std::string m_path;
    int m_dirFd = -1;
};

// mkdir -p; throws std::runtime_error on failure.
void makeDirectories(const std::string& path);

} // namespace BL::Server
