#include "port_link.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace emulator {

namespace {

std::string Kind(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG: return "a regular file";
    case S_IFDIR: return "a directory";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFIFO: return "a named pipe";
    case S_IFSOCK: return "a socket";
    default: return "not a symlink";
    }
}

std::optional<std::string> ReadLink(const std::string &path)
{
    std::string target(4096, '\0');
    const ssize_t size = readlink(path.c_str(), target.data(), target.size());
    if (size < 0 || static_cast<std::size_t>(size) == target.size()) {
        return std::nullopt;
    }
    target.resize(static_cast<std::size_t>(size));
    return target;
}

// Makes path a symlink to target in one step, through a temporary symlink
// beside it: whoever opens path meanwhile finds the old link or the new one.
std::string SwapLink(const std::string &path, const std::string &target)
{
    const std::size_t slash = path.rfind('/');
    const std::string temporary = path.substr(0, slash + 1) + "." + path.substr(slash + 1) +
                                  ".brindlex-emulator-" + std::to_string(getpid());
    if (symlink(target.c_str(), temporary.c_str()) != 0) {
        return "cannot make " + temporary + ": " + std::strerror(errno);
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return error;
    }
    return {};
}

} // namespace

std::string LookAtLink(PortLink &link)
{
    struct stat status {};
    if (lstat(link.path.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            link.replaced = false;
            return {};
        }
        return "cannot look at --link " + link.path + ": " + std::strerror(errno);
    }
    if (!S_ISLNK(status.st_mode)) {
        return "--link " + link.path + " is " + Kind(status.st_mode) +
               "; only a symlink (put back at the end) or nothing may be there, so it is left alone";
    }
    const std::optional<std::string> previous = ReadLink(link.path);
    if (!previous) {
        return "cannot read the symlink " + link.path + ": " + std::strerror(errno);
    }
    link.replaced = true;
    link.previous = *previous;
    return {};
}

std::string PlaceLink(const PortLink &link)
{
    // Look again: the path may have changed meanwhile.
    PortLink now{link.path, link.target, false, {}};
    const std::string error = LookAtLink(now);
    if (!error.empty()) {
        return error;
    }
    if (now.replaced != link.replaced || now.previous != link.previous) {
        return "--link " + link.path + " changed while the port was being made; left alone";
    }
    if (!link.replaced) {
        if (symlink(link.target.c_str(), link.path.c_str()) != 0) {
            return "cannot link " + link.path + ": " + std::strerror(errno);
        }
        return {};
    }
    return SwapLink(link.path, link.target);
}

std::string RestoreLink(const PortLink &link)
{
    struct stat status {};
    if (lstat(link.path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode) ||
        ReadLink(link.path) != link.target) {
        return link.path + " no longer points at " + link.target + "; left as it is" +
               (link.replaced ? " (it was a symlink to " + link.previous + ")" : "");
    }
    if (!link.replaced) {
        if (unlink(link.path.c_str()) != 0) {
            return "cannot remove " + link.path + ": " + std::strerror(errno);
        }
        return {};
    }
    return SwapLink(link.path, link.previous);
}

} // namespace emulator
