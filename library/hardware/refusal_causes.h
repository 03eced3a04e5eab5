// SPDX-License-Identifier: LGPL-2.1-or-later
// Why the kernel refused port access: the facts that tell the causes of an
// EPERM apart, each read from the text the kernel shows in /sys or /proc.
// The parsers take that text, so they can be tried on any input.
#ifndef QPORT_REFUSAL_CAUSES_H
#define QPORT_REFUSAL_CAUSES_H

#include <string>
#include <string_view>

#include "qport_ext.h"

namespace qport {

// The active mode in /sys/kernel/security/lockdown ("none [integrity]
// confidentiality" gives "integrity"); "" when lockdown is off ("[none]") or
// the text names no active mode.
std::string parse_lockdown_mode(std::string_view text);

// Whether /proc/self/uid_map describes a user namespace other than the
// initial one, which maps every uid onto itself in one line
// ("0 0 4294967295"). An empty or unreadable map says nothing: false.
bool uid_map_is_user_namespace(std::string_view text);

// Whether the CapEff line of /proc/self/status holds capability number
// capability (CAP_SYS_RAWIO is 17). No CapEff line: false.
bool status_has_effective_capability(std::string_view status, unsigned capability);

// The cause of a refused request for all ports, from its errno and the
// texts above as read now.
qport_access classify_refusal(int error);

// The lockdown mode in force now, read from /sys; "" when off or unknown.
std::string current_lockdown_mode();

} // namespace qport

#endif
