// SPDX-License-Identifier: LGPL-2.1-or-later
// qport-panel: the simulated PC's front panel.
#include <QApplication>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

#include <dlfcn.h>
#include <unistd.h>

#include "qport_ext.h"

#include "machine.h"
#include "process_hygiene.h"
#include "panel_window.h"
#include "transfer_log.h"

namespace {

// Exit statuses, as the man page gives them.
constexpr int exitCannotStart = 1;
constexpr int exitUsage = 2;

// The simulated build's directory beside the loaded (hardware) build, as
// an install lays them out; empty when there is none there.
std::string simulatedDirectoryBesideLoaded()
{
    Dl_info loaded{};
    if (::dladdr(reinterpret_cast<void *>(&qport_backend), &loaded) == 0 ||
        loaded.dli_fname == nullptr)
        return {};
    const std::string path(loaded.dli_fname);
    const std::string directory = path.substr(0, path.rfind('/') + 1) + "qport/simulated";
    return ::access((directory + "/libqport.so.1").c_str(), R_OK) == 0 ? directory : "";
}

void printHelp()
{
    std::cout << "Usage: qport-panel [--times=WHEN] [MACHINE]\n"
                 "Shows the simulated PC in the shared machine file MACHINE (default:\n"
                 "$QPORT_SIM_MACHINE, created when missing), live: the parallel port's\n"
                 "pins and registers, its peripheral, the other devices and the last\n"
                 "transfers. Without either, it shows a port space of its own.\n"
                 "\n"
                 "  --times=WHEN   the transfers' times: since-start (the default),\n"
                 "                 seconds since the panel started, or wall-clock,\n"
                 "                 the local time of day (HH:MM:SS.mmm)\n"
                 "  -h, --help     show this help and exit\n"
                 "  --version      show the version and exit\n"
                 "\n"
                 "Runs on the simulated build of libqport.so.1 only.\n"
                 "Exit status: 0 when the window is closed, 1 when it cannot start (the\n"
                 "hardware build, a machine refused, no display), 2 for bad arguments\n"
                 "or a QPORT_SIM_ variable naming what the simulated PC lacks.\n";
}

} // namespace

int main(int argc, char **argv)
{
    const char *machinePath = nullptr;
    panel::TimeShown times = panel::TimeShown::sinceStart;
    for (int index = 1; index < argc; ++index) {
        const std::string_view argument(argv[index]);
        if (argument == "--times" || argument.starts_with("--times=")) {
            const char *when = nullptr;
            if (argument == "--times")
                when = index + 1 < argc ? argv[++index] : "";
            else
                when = argv[index] + std::string_view("--times=").size();
            if (!panel::parseTimeShown(QString::fromLocal8Bit(when), times)) {
                std::cerr << "qport-panel: --times takes since-start or wall-clock, not '" << when
                          << "'\n";
                return exitUsage;
            }
            continue;
        }
        if (argument == "-h" || argument == "--help") {
            printHelp();
            return 0;
        }
        if (argument == "--version") {
            std::cout << "qport-panel " QPORT_PANEL_VERSION "\n";
            return 0;
        }
        if (argument.starts_with('-') || machinePath != nullptr) {
            std::cerr << "qport-panel: unexpected argument '" << argument
                      << "' (usage: qport-panel [--times=WHEN] [MACHINE]; see qport-panel "
                         "--help)\n";
            return exitUsage;
        }
        machinePath = argv[index];
    }
    if (!panel::machine::simulatedBuild()) {
        const std::string simulated = simulatedDirectoryBesideLoaded();
        std::cerr << "qport-panel: this libqport.so.1 is the hardware build; the panel shows the "
                     "simulated PC only"
                  << (simulated.empty() ? "" : " (" + simulated + ")") << "\n";
        return exitCannotStart;
    }
    if (!panel::machine::environmentUnderstood()) {
        std::cerr << "qport-panel: not starting: the environment names what the simulated PC "
                     "lacks (above)\n";
        return exitUsage;
    }
    if (machinePath != nullptr) {
        const std::string refused = panel::machine::use(machinePath);
        if (!refused.empty()) {
            std::cerr << "qport-panel: cannot use the machine " << machinePath << ": " << refused
                      << "\n";
            return exitCannotStart;
        }
    }
    if (qport::process::display_missing()) {
        std::cerr << "qport-panel: no display to show the window on (DISPLAY is not set); "
                     "run it under Xvfb, e.g. xvfb-run -a qport-panel\n";
        return exitCannotStart;
    }
    // Qt's own options are not taken: the panel's arguments are read above.
    int toolkitArgc = 1;
    QApplication application(toolkitArgc, argv);
    QApplication::setApplicationName(QStringLiteral("qport-panel"));
    QApplication::setDesktopFileName(QStringLiteral(QPORT_PANEL_APP_ID));
    panel::PanelWindow window;
    window.transferLog()->setTimeShown(times);
    window.show();
    return QApplication::exec();
}
