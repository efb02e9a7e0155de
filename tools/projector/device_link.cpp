#include "projector/device_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace tolvane::projector {
namespace {

std::string quote(const std::string& path) {
    return "'" + path + "'";
}

std::string reason() {
    return std::strerror(errno);
}

// A process by its id and its start time (clock ticks after boot), so that a later process
// that happens to get the same id is not taken for it.
std::optional<std::string> processIdentity(long pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    // The command name, in parentheses, may hold blanks; the fields after it do not.
    const std::size_t rest = text.rfind(')');
    if (rest == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(rest + 1));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i)
        if (i == 22) return std::to_string(pid) + " " + field;
    return std::nullopt;
}

std::string ownerFile(const std::string& link) {
    const std::size_t slash = link.rfind('/');
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    return link.substr(0, name) + "." + link.substr(name) + ".tolvane-projector";
}

// The owner file names the simulator that made the link and what the link pointed at.
struct Owner {
    std::string identity;  // "<pid> <start time>"
    std::string target;
};

std::optional<Owner> readOwner(const std::string& link) {
    std::ifstream file(ownerFile(link));
    std::string pid, start, target;
    if (!(file >> pid >> start) || !std::getline(file >> std::ws, target)) return std::nullopt;
    return Owner{pid + " " + start, target};
}

bool running(const std::string& identity) {
    const long pid = std::strtol(identity.c_str(), nullptr, 10);
    return pid > 0 && processIdentity(pid) == identity;
}

std::optional<std::string> linkTarget(const std::string& path) {
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(path, error);
    if (error) return std::nullopt;
    return target.string();
}

}  // namespace

DeviceLink::DeviceLink(std::string path, std::string target)
    : path_(std::move(path)), target_(std::move(target)) {
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            throw std::runtime_error(
                quote(path_) + " already exists and is not a symbolic link; not replacing it");
        // A link an earlier simulator made and did not remove (it was killed) is stale even
        // when its terminal's number has since gone to another program.
        const std::optional<Owner> owner = readOwner(path_);
        const bool ours = owner && owner->target == linkTarget(path_) && !running(owner->identity);
        struct stat pointee {};
        if (!ours && ::stat(path_.c_str(), &pointee) == 0)
            throw std::runtime_error(quote(path_) + " is a symbolic link to " +
                                     quote(linkTarget(path_).value_or("?")) +
                                     ", which exists; not replacing it");
        if (!ours && errno != ENOENT && errno != ENOTDIR)
            throw std::runtime_error("cannot tell whether the link " + quote(path_) +
                                     " is stale: " + reason());
        if (::unlink(path_.c_str()) != 0)
            throw std::runtime_error("cannot remove the stale link " + quote(path_) + ": " +
                                     reason());
        std::fprintf(stderr, "tolvane-projector: replaced the stale link %s\n",
                     quote(path_).c_str());
    } else if (errno != ENOENT) {
        throw std::runtime_error("cannot use " + quote(path_) + ": " + reason());
    }
    // Without the owner file a later run takes a killed simulator's link for a live one, so it
    // is there, whole, before the link: written under another name, then renamed.
    const std::string owner = ownerFile(path_);
    const std::string partial = owner + "." + std::to_string(::getpid());
    {
        std::ofstream file(partial, std::ios::trunc);
        file << processIdentity(::getpid()).value_or("0 0") << " " << target_ << "\n";
        if (!file.flush() || ::rename(partial.c_str(), owner.c_str()) != 0) {
            std::fprintf(stderr, "tolvane-projector: cannot write %s: %s\n", quote(owner).c_str(),
                         reason().c_str());
            ::unlink(partial.c_str());
        }
    }
    // Fails rather than overwrites if something appeared there meanwhile.
    if (::symlink(target_.c_str(), path_.c_str()) != 0) {
        const std::string why = reason();
        ::unlink(owner.c_str());
        throw std::runtime_error("cannot make the link " + quote(path_) + ": " + why);
    }
}

DeviceLink::~DeviceLink() {
    const std::optional<Owner> owner = readOwner(path_);
    if (owner && owner->identity == processIdentity(::getpid())) ::unlink(ownerFile(path_).c_str());
    struct stat st {};
    if (::lstat(path_.c_str(), &st) != 0 && errno == ENOENT) return;  // someone removed it already
    if (linkTarget(path_) != target_) {
        std::fprintf(stderr, "tolvane-projector: %s no longer points at %s; left alone\n",
                     quote(path_).c_str(), target_.c_str());
        return;
    }
    if (::unlink(path_.c_str()) != 0)
        std::fprintf(stderr, "tolvane-projector: cannot remove the link %s: %s\n",
                     quote(path_).c_str(), reason().c_str());
}

}  // namespace tolvane::projector
