// SPDX-License-Identifier: LGPL-2.1-or-later
#include "privileges.h"

#include "process_hygiene.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

#include <grp.h>
#include <pwd.h>
#include <sys/auxv.h>
#include <unistd.h>

namespace quorrel {
namespace {

std::error_code lastError() { return {errno, std::system_category()}; }

std::error_code errorOf(int error) { return {error, std::system_category()}; }

// A decimal id without sign, spaces or overflow; nothing otherwise.
std::optional<unsigned long> plainNumber(const char *text)
{
    if (text == nullptr || *text == '\0' || std::string_view(text).size() > 10)
        return std::nullopt;
    unsigned long value = 0;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned long>(*c - '0');
    }
    if (value >= UINT_MAX) // (uid_t)-1 means "unchanged" to the kernel
        return std::nullopt;
    return value;
}

bool onlyCharacters(std::string_view value, std::string_view allowed)
{
    return !value.empty() && value.find_first_not_of(allowed) == std::string_view::npos;
}

constexpr std::string_view lettersAndDigits =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// The variables a window needs, and why each is safe to keep in a process
// that holds port permission. None of them names code to load or a file to
// read settings from; values that could be more than a name are checked.
enum class Check { localeName, localeList, displayName, absolutePath, plainName, pluginNames };
struct KeptVariable {
    std::string_view name;
    Check check;
};
constexpr std::array keptVariables{
    // Where the X server is: a host and display number, never a path to
    // load from. The server can draw the window but not run code in it.
    KeptVariable{"DISPLAY", Check::displayName},
    // The X cookie file: read as data with the user's own rights.
    KeptVariable{"XAUTHORITY", Check::absolutePath},
    // The Wayland compositor's socket, and the directory it lives in: a
    // socket to talk to, as DISPLAY is.
    KeptVariable{"WAYLAND_DISPLAY", Check::plainName},
    KeptVariable{"XDG_RUNTIME_DIR", Check::absolutePath},
    KeptVariable{"XDG_SESSION_TYPE", Check::plainName},
    // Locale names: the C library takes them only as names of locales
    // installed by the system; no '/' or '..' can reach another file.
    KeptVariable{"LANG", Check::localeName},
    KeptVariable{"LANGUAGE", Check::localeList},
    KeptVariable{"LC_ALL", Check::localeName},
    KeptVariable{"LC_CTYPE", Check::localeName},
    KeptVariable{"LC_NUMERIC", Check::localeName},
    KeptVariable{"LC_TIME", Check::localeName},
    KeptVariable{"LC_COLLATE", Check::localeName},
    KeptVariable{"LC_MONETARY", Check::localeName},
    KeptVariable{"LC_MESSAGES", Check::localeName},
    KeptVariable{"LC_PAPER", Check::localeName},
    KeptVariable{"LC_NAME", Check::localeName},
    KeptVariable{"LC_ADDRESS", Check::localeName},
    KeptVariable{"LC_TELEPHONE", Check::localeName},
    KeptVariable{"LC_MEASUREMENT", Check::localeName},
    KeptVariable{"LC_IDENTIFICATION", Check::localeName},
    // Which of the platform plugins in the system's plugin directory draws
    // the window (xcb, wayland, offscreen): a name, without the options
    // after ':' (one of them names a configuration file), and no path to
    // look for plugins in, since QT_PLUGIN_PATH and
    // QT_QPA_PLATFORM_PLUGIN_PATH are dropped.
    KeptVariable{"QT_QPA_PLATFORM", Check::pluginNames},
};

bool wellFormed(Check check, std::string_view value)
{
    switch (check) {
    case Check::localeName:
        return onlyCharacters(value, std::string(lettersAndDigits) + "_.@-") && value[0] != '.';
    case Check::localeList:
        return onlyCharacters(value, std::string(lettersAndDigits) + "_.@-:") &&
               value.find("..") == std::string_view::npos;
    case Check::displayName:
        return onlyCharacters(value, std::string(lettersAndDigits) + "_.:-");
    case Check::absolutePath:
        return value.size() > 1 && value[0] == '/' && value.find('\n') == std::string_view::npos;
    case Check::plainName:
        return onlyCharacters(value, std::string(lettersAndDigits) + "_.-") && value[0] != '.';
    case Check::pluginNames:
        return onlyCharacters(value, std::string(lettersAndDigits) + "_-;");
    }
    return false;
}

// Debian's name for a home that must never exist: only root could make it,
// so configuration files looked for under it are never found.
constexpr const char *homeThatDoesNotExist = "/nonexistent";
constexpr const char *systemPath = "/usr/bin:/bin";

const char *fromProcessEnvironment(const char *name) { return std::getenv(name); }

gid_t primaryGroupFromPasswd(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    return entry != nullptr ? entry->pw_gid : static_cast<gid_t>(-1);
}

std::string homeOf(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

void replaceEnvironment(const std::vector<std::string> &entries)
{
    ::clearenv();
    for (const std::string &entry : entries) {
        const auto equals = entry.find('=');
        ::setenv(entry.substr(0, equals).c_str(), entry.c_str() + equals + 1, 1);
    }
}

} // namespace

std::error_code dropPrivileges() { return errorOf(qport::process::drop_every_capability()); }

std::optional<InvokingUser> invokingUser(uid_t realUid, uid_t effectiveUid, gid_t realGid,
                                         gid_t effectiveGid, EnvironmentLookup environment,
                                         PrimaryGroupLookup primaryGroup)
{
    if (realUid == 0 && effectiveUid == 0) {
        if (const auto uid = plainNumber(environment("SUDO_UID")); uid && *uid != 0) {
            const auto gid = plainNumber(environment("SUDO_GID"));
            const gid_t group =
                gid ? static_cast<gid_t>(*gid) : primaryGroup(static_cast<uid_t>(*uid));
            if (group == static_cast<gid_t>(-1) || group == 0)
                return std::nullopt;
            return InvokingUser{static_cast<uid_t>(*uid), group, true};
        }
        if (const auto uid = plainNumber(environment("PKEXEC_UID")); uid && *uid != 0) {
            const gid_t group = primaryGroup(static_cast<uid_t>(*uid));
            if (group == static_cast<gid_t>(-1) || group == 0)
                return std::nullopt;
            return InvokingUser{static_cast<uid_t>(*uid), group, true};
        }
        return std::nullopt;
    }
    // Set-user-ID or set-group-ID: back to the ids of whoever ran it; its
    // supplementary groups are already that user's.
    if (realUid != effectiveUid || realGid != effectiveGid)
        return InvokingUser{realUid, realGid, false};
    return std::nullopt;
}

std::vector<std::string> windowEnvironment(std::span<const char *const> environment,
                                           const std::string &userXauthority)
{
    std::vector<std::string> kept;
    for (const KeptVariable &variable : keptVariables) {
        for (const char *entry : environment) {
            const std::string_view text(entry);
            if (text.size() <= variable.name.size() || text[variable.name.size()] != '=' ||
                text.substr(0, variable.name.size()) != variable.name)
                continue;
            if (wellFormed(variable.check, text.substr(variable.name.size() + 1)))
                kept.emplace_back(text);
            break;
        }
    }
    const bool namesXauthority = std::any_of(kept.begin(), kept.end(), [](const std::string &e) {
        return e.rfind("XAUTHORITY=", 0) == 0;
    });
    if (!namesXauthority && !userXauthority.empty())
        kept.push_back("XAUTHORITY=" + userXauthority);
    kept.push_back(std::string("HOME=") + homeThatDoesNotExist);
    kept.push_back(std::string("PATH=") + systemPath);
    return kept;
}

std::error_code becomeUser(const InvokingUser &user)
{
    if (user.lookUpGroups) {
        const passwd *entry = ::getpwuid(user.uid);
        const int outcome =
            entry != nullptr ? ::initgroups(entry->pw_name, user.gid) : ::setgroups(1, &user.gid);
        if (outcome != 0)
            return lastError();
    }
    if (::setresgid(user.gid, user.gid, user.gid) != 0 ||
        ::setresuid(user.uid, user.uid, user.uid) != 0)
        return lastError();
    uid_t realUid = 0, effectiveUid = 0, savedUid = 0;
    gid_t realGid = 0, effectiveGid = 0, savedGid = 0;
    ::getresuid(&realUid, &effectiveUid, &savedUid);
    ::getresgid(&realGid, &effectiveGid, &savedGid);
    const bool switched = realUid == user.uid && effectiveUid == user.uid && savedUid == user.uid &&
                          realGid == user.gid && effectiveGid == user.gid && savedGid == user.gid;
    // Root could take its uid back; a process that truly left it cannot.
    if (!switched || (user.uid != 0 && ::setuid(0) == 0))
        return std::make_error_code(std::errc::operation_not_permitted);
    return {};
}

std::error_code startUnprivileged(std::ostream &warnings, PortSpace portSpace)
{
    const uid_t realUid = ::getuid();
    const auto user = invokingUser(realUid, ::geteuid(), ::getgid(), ::getegid(),
                                   fromProcessEnvironment, primaryGroupFromPasswd);
    if (::getauxval(AT_SECURE) != 0 || user) {
        const uid_t owner = user ? user->uid : realUid;
        const std::string home = homeOf(owner);
        std::size_t count = 0;
        while (environ[count] != nullptr)
            ++count;
        replaceEnvironment(windowEnvironment(std::span<const char *const>(environ, count),
                                             home.empty() ? "" : home + "/.Xauthority"));
    }
    if (user) {
        // The bounding set can be emptied only while CAP_SETPCAP is still
        // there, which leaving uid 0 takes away.
        if (const std::error_code error = errorOf(qport::process::empty_bounding_set()))
            return error;
        if (const std::error_code error = becomeUser(*user))
            return error;
    } else if (realUid == 0) {
        warnings << "Quorrel: the window runs as root. ";
        if (portSpace == PortSpace::simulated)
            warnings << "The simulated port space needs no privilege: start Quorrel as "
                        "yourself.\n";
        else
            warnings << "To use the ports as yourself instead, restrict who may run the program, "
                        "then give it the capability, as explained in\n    "
                     << qport::process::installed_file_path(qport::process::own_path(),
                                                            QPORT_REAL_ACCESS_DOC_FROM_PROGRAM,
                                                            QPORT_REAL_ACCESS_DOC)
                     << "\n";
    }
    return dropPrivileges();
}

} // namespace quorrel
