// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>

#include "process_hygiene.h"
#include "qport_ext.h"

#include "application.h"
#include "notice_box.h"
#include "privileges.h"
#include "tform1.h"

namespace {

// Where this program is, as it was started: for a command to copy.
std::string programPath()
{
    const std::string path = qport::process::own_path();
    return path.empty() ? std::string("Quorrel") : path;
}

} // namespace

// Quorrel reads no command-line options: the window toolkit is handed the
// program's name and nothing else, so that no option (-plugin, -style,
// -platformpluginpath ...) can bring code into a process that holds port
// permission. Someone who gave one (--help, say) is told so, and the window
// opens as without it.
int main(int argc, char ** /*argv*/)
{
    if (argc > 1)
        std::cerr << "Quorrel: takes no options and ignores them (see 'man Quorrel').\n";
    // qport has asked for port access at load; the window toolkit and its
    // libraries run without any privilege, as the invoking user.
    const auto portSpace = std::string_view(qport_backend()) == "simulated"
                               ? quorrel::PortSpace::simulated
                               : quorrel::PortSpace::hardware;
    if (const std::error_code error = quorrel::startUnprivileged(std::cerr, portSpace)) {
        std::cerr << "Quorrel: cannot give up its privileges: " << error.message() << "\n";
        return 1;
    }
    if (qport::process::display_missing()) {
        std::cerr << "Quorrel: no display to show the window on (DISPLAY is not set).\n"
                     "Run it under Xvfb instead:\n"
                     "  xvfb-run -a "
                  << programPath() << "\n";
        return 1;
    }
    qport_set_presenter(showNoticeBox, nullptr);
    static char programName[] = "Quorrel";
    int toolkitArgc = 1;
    char *toolkitArgv[] = {programName, nullptr};
    return quorrel::runApplication(
        toolkitArgc, toolkitArgv, [] { return std::make_unique<TForm1>(); }, showExceptionBox);
}
