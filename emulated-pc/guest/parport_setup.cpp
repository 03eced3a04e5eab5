// SPDX-License-Identifier: LGPL-2.1-or-later
#include "parport_setup.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace guest {
namespace {

// Where make-initramfs puts the modules fetch-kernel kept, uncompressed.
constexpr const char *module_dir = "/lib/modules/qport";
constexpr const char *device = "/dev/parport0";

std::string load_module(const std::string &name)
{
    const std::string path = std::string(module_dir) + "/" + name + ".ko";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "cannot open " + path + ": " + std::strerror(errno);
    // The guest has no modprobe: finit_module(2) with no parameters.
    const long loaded = ::syscall(SYS_finit_module, fd, "", 0);
    const int error = errno;
    ::close(fd);
    if (loaded != 0 && error != EEXIST)
        return "cannot load " + path + ": " + std::strerror(error);
    return "";
}

} // namespace

std::string prepare_parallel_port()
{
    // parport first: the other two need its symbols.
    for (const char *name : {"parport", "parport_pc", "ppdev"}) {
        if (std::string problem = load_module(name); !problem.empty())
            return problem;
    }
    // ppdev creates the node as it finds the port; devtmpfs may take a moment.
    for (int tries = 0; ::access(device, F_OK) != 0 && tries < 100; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (::chown(device, 0, lp_group) != 0 || ::chmod(device, 0660) != 0)
        return std::string("cannot give ") + device + " to group lp: " + std::strerror(errno);
    ::mkdir("/etc", 0755);
    std::ofstream groups("/etc/group");
    groups << "root:x:0:\nlp:x:" << lp_group << ":\nnogroup:x:65534:\n";
    if (!groups.flush())
        return "cannot write /etc/group";
    return "";
}

} // namespace guest
