#pragma once

#include <string>

namespace BL::Server {

// A directory whose files are written so that a crash leaves either the whole file under
// its final name or nothing: written under a temporary name, flushed, renamed, and the
// directory entry flushed too.
class CDurableDirectory
{
public:
    // Creates the directory if needed, removes temporaries left by a crash; throws on failure.
    explicit CDurableDirectory(const std::string& path);
    ~CDurableDirectory();
    CDurableDirectory(const CDurableDirectory&) = delete;
    CDurableDirectory& operator=(const CDurableDirectory&) = delete;

    const std::string& path() const { return m_path; }
    std::string filePath(const std::string& name) const { return m_path + "/" + name; }

    // False with `error` filled when the file could not be written durably.
    bool write(const std::string& name, const std::string& data, std::string* error);
    void remove(const std::string& name);
    bool read(const std::string& name, std::string* data) const;

private:
    std::string m_path;
    int m_dirFd = -1;
};

// mkdir -p; throws std::runtime_error on failure.
void makeDirectories(const std::string& path);

} // namespace BL::Server
