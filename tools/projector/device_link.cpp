#include "projector/device_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace tolvane::projector {
namespace {

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

std::string reason() {
    return std::strerror(errno);
}

std::optional<std::string> linkTarget(const std::string& path) {
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0 || std::size_t(n) >= target.size()) return std::nullopt;
    target.resize(std::size_t(n));
    return target;
}

}  // namespace

DeviceLink::DeviceLink(std::string path, std::string target)
    : path_(std::move(path)), target_(std::move(target)) {
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            throw std::runtime_error(
                quoted(path_) + " already exists and is not a symbolic link; not replacing it");
        struct stat pointee {};
        if (::stat(path_.c_str(), &pointee) == 0)
            throw std::runtime_error(quoted(path_) + " is a symbolic link to " +
                                     quoted(linkTarget(path_).value_or("?")) +
                                     ", which exists; not replacing it");
        if (errno != ENOENT && errno != ENOTDIR)
            throw std::runtime_error("cannot tell whether the link " + quoted(path_) +
                                     " is stale: " + reason());
        if (::unlink(path_.c_str()) != 0)
            throw std::runtime_error("cannot remove the stale link " + quoted(path_) + ": " +
                                     reason());
        std::fprintf(stderr, "tolvane-projector: replaced the stale link %s\n",
                     quoted(path_).c_str());
    } else if (errno != ENOENT) {
        throw std::runtime_error("cannot use " + quoted(path_) + ": " + reason());
    }
    // Fails rather than overwrites if something appeared there meanwhile.
    if (::symlink(target_.c_str(), path_.c_str()) != 0)
        throw std::runtime_error("cannot make the link " + quoted(path_) + ": " + reason());
}

DeviceLink::~DeviceLink() {
    struct stat st {};
    if (::lstat(path_.c_str(), &st) != 0 && errno == ENOENT) return;  // someone removed it already
    if (linkTarget(path_) != target_) {
        std::fprintf(stderr, "tolvane-projector: %s no longer points at %s; left alone\n",
                     quoted(path_).c_str(), target_.c_str());
        return;
    }
    if (::unlink(path_.c_str()) != 0)
        std::fprintf(stderr, "tolvane-projector: cannot remove the link %s: %s\n",
                     quoted(path_).c_str(), reason().c_str());
}

}  // namespace tolvane::projector
