#pragma once

#include "server/options.h"

#include <string>

namespace BL::Server {

// What brightloom-server's command line asks for. Parsing stops at the first refused option or
// at --help, whichever comes first.
struct SCommandLine
{
    SServiceOptions options;
    std::string copyTo; // --copy-to-database: copy the SQLite store there, then exit
    bool help = false;
    std::string error; // why the command line was refused; empty when it was not
};

SCommandLine parseCommandLine(int argc, const char* const* argv);
// The --help text, made from the same table of options the parser reads.
std::string usageText();

} // namespace BL::Server
