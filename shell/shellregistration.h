#pragma once

#include <memory>

namespace BL::Shell {

// Makes the file manager offer "Upload with Brightloom" for this user while the program
// runs. Optional: a failure is logged, never shown, and never stops the program.
class CAbstractShellRegistration
{
public:
    virtual ~CAbstractShellRegistration() = default;
    // Runs at every start.
    virtual void registerExtension() = 0;
    // Runs at every orderly exit.
    virtual void unregisterExtension() = 0;
};

// The registration of this operating system's file manager.
std::unique_ptr<CAbstractShellRegistration> createShellRegistration();

} // namespace BL::Shell
