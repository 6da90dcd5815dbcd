#pragma once

// The launcher's command line, the GNU way: --help and --version answer and end the
// run without touching anything; --reinstall asks for the upgrade path with equal
// builds. Qt's own options (-platform and the like) are accepted here and left in
// argv for the application object, which consumes them.

#include "layout.h"

#include <string>

namespace command_line {

struct Request
{
    // Set when the run ends here (an answer or a usage error): the process's exit code.
    int exit_code = -1;
    bool reinstall = false;

    bool done() const { return exit_code >= 0; }
};

// Exit code of a command line that cannot be parsed.
constexpr int USAGE_ERROR = 2;
// Exit code of a run that did not do what its options asked for (--reinstall).
constexpr int REQUEST_NOT_MET = 1;

// Writes why the run did not do what was asked, as one line on standard error.
void ReportUnmetRequest(const std::string& why);

// Parses argv and, for an answer or an error, writes it (standard output, or standard
// error for an error). Needs no application object and no display.
Request Handle(int argc, char** argv, const Layout& layout);

} // namespace command_line
