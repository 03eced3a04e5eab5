// SPDX-License-Identifier: LGPL-2.1-or-later
// Quorrel on real port instructions: the program's own window, entry function
// and privilege drop, built from the same sources, on Qt's offscreen
// platform inside the emulated PC. It clicks "Access &DLL" twice, each click
// after the previous run's notice was dismissed, then closes the window.
//
// What the window showed is read from its label during each pause, and the
// pause is timed around the one Quorrel sleeps with; notices are recorded
// and dismissed at once. The host checks the transfers themselves, in QEMU's
// trace of every port access, against the captions printed here.
//
// QPORT_GUEST_PHASE says what to expect: "granted" (the guest's /init gave
// this binary the file capability cap_sys_rawio+ep and runs it as user
// 65534, with LD_LIBRARY_PATH naming a simulated build of the library) or
// "refused" (user 65534, no capability). Runs only inside the emulated PC.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/auxv.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "application.h"
#include "inherited_descriptors.h"
#include "privileges.h"
#include "qport_ext.h"
#include "tform1.h"

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

constexpr int clicks = 2;
constexpr int valuesPerRun = 3;
constexpr double shortestPauseMs = 200;
// Three pauses of 200 ms and the transfers; generous, since TCG is slow.
constexpr double longestRunMs = 2000;
constexpr const char *successTitle = "Operation Success!";
constexpr const char *successText = "DLL successfully called.";

struct ShownValue {
    std::string caption;
    double pauseMs;
};

struct Notice {
    std::string title;
    std::string text;
    double afterClickMs;
};

struct Observations {
    Clock::time_point lastClick;
    std::vector<ShownValue> shown;
    std::vector<Notice> notices;
    std::vector<std::string> exceptions;
} observed;

int failures = 0;

void report(const std::string &line)
{
    std::printf("qport-quorrel: %s\n", line.c_str());
    std::fflush(stdout);
}

void check(bool holds, const std::string &what)
{
    if (!holds) {
        ++failures;
        report("FAIL " + what);
    }
}

double msSince(Clock::time_point start) { return Milliseconds(Clock::now() - start).count(); }

std::string format(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// What the label shows while the program sleeps, and how long it sleeps.
void timedPause(std::chrono::milliseconds duration)
{
    const std::string caption = Form1->Label1->text().toStdString();
    const Clock::time_point start = Clock::now();
    quorrel::sleepCallingThread(duration);
    observed.shown.push_back({caption, msSince(start)});
}

int recordNotice(const char *title, const char *text, void *)
{
    observed.notices.push_back({title, text, msSince(observed.lastClick)});
    return 1;
}

std::unique_ptr<TForm1> createClickedForm()
{
    auto form = std::make_unique<TForm1>(nullptr, timedPause);
    QTimer::singleShot(0, form.get(), [window = form.get()] {
        for (int click = 0; click < clicks; ++click) {
            observed.lastClick = Clock::now();
            QTest::mouseClick(window->Button1, Qt::LeftButton);
        }
        window->close();
    });
    return form;
}

std::string valueAfter(const char *path, const std::string &key)
{
    std::ifstream file(path);
    std::string word;
    while (file >> word) {
        if (word == key && file >> word)
            return word;
        if (word.rfind(key, 0) == 0 && key.back() == '=')
            return word.substr(key.size());
    }
    return "";
}

std::string statusField(const std::string &name)
{
    return valueAfter("/proc/self/status", name + ":");
}

const char *describe(qport_access access)
{
    return access == QPORT_ACCESS_GRANTED ? "granted" : "refused";
}

} // namespace

int main(int argc, char **argv)
{
    if (!guest::holds_only_standard_descriptors())
        return 1;
    const char *expectation = std::getenv("QPORT_GUEST_PHASE");
    const std::string expected = expectation != nullptr ? expectation : "";
    if (valueAfter("/proc/cmdline", "qport.phase=") != "quorrel" ||
        (expected != "granted" && expected != "refused")) {
        std::fputs("This program runs only inside the emulated PC, started by its /init "
                   "(qport.phase=quorrel on the kernel command line).\n",
                   stderr);
        return 2;
    }
    const bool granted = expected == "granted";

    const bool secureMode = ::getauxval(AT_SECURE) != 0;
    const qport_access accessAtLoad = qport_access_status();
    const std::string capEffAtStart = statusField("CapEff");
    // As Quorrel's own main starts: in secure mode the environment becomes a
    // window's, then every privilege goes.
    std::ostringstream warnings;
    if (const std::error_code error =
            quorrel::startUnprivileged(warnings, quorrel::PortSpace::hardware)) {
        report("FAIL cannot give up privileges: " + error.message());
        return 1;
    }
    std::string capabilitiesAfterDrop;
    for (const char *field : {"CapInh", "CapPrm", "CapEff", "CapAmb", "CapBnd", "NoNewPrivs"})
        capabilitiesAfterDrop += std::string(" ") + field + "=" + statusField(field);

    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    qport_set_presenter(recordNotice, nullptr);
    const int exitCode =
        quorrel::runApplication(argc, argv, createClickedForm, [](const std::exception &exception) {
            observed.exceptions.emplace_back(exception.what());
        });

    report(std::string("library ") + qport_backend() + ", loader secure mode " +
           (secureMode ? "on" : "off") + ", access at load " + describe(accessAtLoad) +
           ", CapEff at start " + capEffAtStart);
    report("after giving up privileges:" + capabilitiesAfterDrop);
    for (std::size_t run = 0; run * valuesPerRun < observed.shown.size(); ++run) {
        std::string captions, pauses;
        for (std::size_t value = run * valuesPerRun;
             value < std::min(observed.shown.size(), (run + 1) * valuesPerRun); ++value) {
            captions += " " + observed.shown[value].caption;
            pauses += " " + format(observed.shown[value].pauseMs);
        }
        report("run " + std::to_string(run + 1) + " captions" + captions + ", pauses" + pauses +
               " ms");
    }
    for (const Notice &notice : observed.notices)
        report("notice \"" + notice.title + "\": \"" + notice.text + "\", " +
               format(notice.afterClickMs) + " ms after its click");

    check(exitCode == 0, "the entry function returned " + std::to_string(exitCode));
    check(warnings.str().empty(), "warned: " + warnings.str());
    if (secureMode) {
        const char *home = std::getenv("HOME");
        check(std::getenv("LD_LIBRARY_PATH") == nullptr && home != nullptr &&
                  std::string(home) == "/nonexistent",
              "secure mode kept the user's environment");
    }
    for (const std::string &what : observed.exceptions)
        check(false, "exception shown: " + what);
    for (const char *field : {"CapInh=", "CapPrm=", "CapEff=", "CapAmb="})
        check(capabilitiesAfterDrop.find(std::string(field) + "0000000000000000") !=
                  std::string::npos,
              std::string("a capability is left: ") + field);
    check(capabilitiesAfterDrop.find("NoNewPrivs=1") != std::string::npos, "no_new_privs unset");
    check(std::string(qport_backend()) == "hardware",
          "LD_LIBRARY_PATH swapped in the " + std::string(qport_backend()) + " build");

    if (granted) {
        constexpr unsigned long capSysRawio = 1UL << 17;
        check(secureMode, "the loader was not in secure mode");
        check(accessAtLoad == QPORT_ACCESS_GRANTED, "no port access at load");
        check((std::strtoul(capEffAtStart.c_str(), nullptr, 16) & capSysRawio) != 0,
              "CAP_SYS_RAWIO missing at start");
        check(observed.shown.size() == std::size_t{clicks} * valuesPerRun,
              std::to_string(observed.shown.size()) + " values shown");
        for (const ShownValue &value : observed.shown)
            check(value.pauseMs >= shortestPauseMs, "a pause of " + format(value.pauseMs) + " ms");
        check(observed.notices.size() == clicks,
              std::to_string(observed.notices.size()) + " notices");
        for (const Notice &notice : observed.notices) {
            check(notice.title == successTitle && notice.text == successText,
                  "notice \"" + notice.title + "\"");
            check(notice.afterClickMs >= 3 * shortestPauseMs && notice.afterClickMs < longestRunMs,
                  "a run of " + format(notice.afterClickMs) + " ms");
        }
    } else {
        check(accessAtLoad != QPORT_ACCESS_GRANTED, "port access without a capability");
        check(observed.shown.empty(), "values shown without port access");
        check(observed.notices.size() == clicks,
              std::to_string(observed.notices.size()) + " notices");
        for (const Notice &notice : observed.notices)
            check(notice.title == "Port access refused", "notice \"" + notice.title + "\"");
    }
    report(std::string(failures == 0 ? "passed" : "failed") + " (" + expected + ")");
    return failures == 0 ? 0 : 1;
}
