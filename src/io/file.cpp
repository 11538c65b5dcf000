// Atomic replacement of a file through a new file that gets its name only when complete, and reading.
#include "io/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <utility>

#include "core/check.h"

namespace wexo::file {
namespace {

constexpr int kMaxSymlinkHops = 40;  // as the kernel's own limit
constexpr int kTempAttempts = 64;

// The file a path finally names: each symlink replaced by its target, relative targets taken from the link's
// directory. A dangling link yields the path it points to (a new file is made there).
std::string resolve_symlinks(std::string p) {
    for (int hop = 0; hop < kMaxSymlinkHops; ++hop) {
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        std::string link(256, '\0');
        ssize_t n = 0;
        while ((n = ::readlink(p.c_str(), link.data(), link.size())) >= static_cast<ssize_t>(link.size()))
            link.resize(link.size() * 2);
        if (n < 0) return p;
        link.resize(static_cast<std::size_t>(n));
        const std::size_t slash = p.rfind('/');
        if (link.front() == '/' || slash == std::string::npos)
            p = std::move(link);
        else
            p = p.substr(0, slash + 1) + link;
    }
    return p;  // still a link: opening it reports the loop
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string proc_fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// A file in dir that has no name until link_unnamed gives it one, so that nothing is left behind when the
// process dies while writing it; -1 where the file system or the kernel cannot make one.
int open_unnamed(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    // Without /proc, and where linking by descriptor alone needs a privilege, the file could never get a name.
    if (::access(proc_fd_path(fd).c_str(), F_OK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// 0 or the errno value of the failure
int link_unnamed(int fd, const std::string& name) {
    if (::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    if (errno == EEXIST) return EEXIST;
    // older kernels allow the descriptor form only to privileged processes; the /proc form to anyone
    if (::linkat(AT_FDCWD, proc_fd_path(fd).c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    return errno;
}

std::uint64_t mix(std::uint64_t x) {  // splitmix64 finaliser
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

}  // namespace

namespace {

// the OS would see only the part before a NUL byte, which names another file
void refuse_nul(const std::string& path, const std::string& what) {
    if (path.find('\0') != std::string::npos) fail(what + ": the path contains a NUL byte");
}

}  // namespace

Input::Input(const std::string& path, std::string_view label) {
    const std::string what = "cannot open " + std::string(label);
    refuse_nul(path, what);
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) fail(what + " '" + path + "': " + os_error_text(errno));
    struct stat st;
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) size_ = static_cast<std::uint64_t>(st.st_size);
}

Input::~Input() { ::close(fd_); }

Replacement::Replacement(std::string path, std::string_view label) : path_(std::move(path)), label_(label) {
    const auto fail_open = [this](int err) {
        fail("cannot open " + label_ + " '" + path_ + "' for writing: " + os_error_text(err));
    };
    refuse_nul(path_, "cannot open " + label_ + " for writing");
    target_ = resolve_symlinks(path_);
    struct stat st;
    const bool exists = ::stat(target_.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) fail_open(errno);
    if (exists && !S_ISREG(st.st_mode)) {
        // devices and pipes cannot be renamed over; directories fail here with EISDIR
        fd_ = ::open(target_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0) fail_open(errno);
        in_place_ = true;
        return;
    }
    // mode 0666 before the umask: exactly the bits a newly created target would get
    fd_ = open_unnamed(directory_of(target_));
    if (fd_ >= 0) {
        unnamed_ = true;
    } else {
        // no unnamed files on this file system: a named one, left behind if the process dies before commit()
        const int err = make_temp_name([this](const std::string& name) {
            fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            return fd_ >= 0 ? 0 : errno;
        });
        if (err != 0) fail_open(err);
    }
    if (exists) {
        if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(fd_, st.st_uid, st.st_gid) != 0) {
            // only a privileged process may keep another owner; the file is then ours
        }
        if (::fchmod(fd_, st.st_mode & 07777) != 0) {
            // a constructor that throws runs no destructor: release the new file here
            const int err = errno;
            ::close(std::exchange(fd_, -1));
            if (!temp_.empty()) ::unlink(temp_.c_str());
            fail_open(err);
        }
    }
}

Replacement::~Replacement() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

template <class Make>
int Replacement::make_temp_name(Make make) {
    const std::size_t slash = target_.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
    // keep the name within NAME_MAX: dot, at most 200 bytes of the name, ".tmp", 16 hex digits
    const std::string base = target_.substr(slash == std::string::npos ? 0 : slash + 1, 200);
    std::uint64_t seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                         (static_cast<std::uint64_t>(::getpid()) << 32) ^ reinterpret_cast<std::uintptr_t>(this);
    int err = EEXIST;
    for (int attempt = 0; attempt < kTempAttempts && err == EEXIST; ++attempt) {
        seed = mix(seed);
        char suffix[17];
        for (int i = 0; i < 16; ++i) suffix[i] = "0123456789abcdef"[(seed >> (4 * i)) & 15];
        suffix[16] = '\0';
        std::string name = dir + "." + base + ".tmp" + suffix;
        err = make(name);
        if (err == 0) temp_ = std::move(name);
    }
    return err;
}

void Replacement::write(const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd_, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) fail_write(w < 0 ? errno : EIO);
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

void Replacement::commit() {
    if (unnamed_) {
        // The content is complete: give it a name next to the target. rename() then replaces the target in one
        // step, which linking cannot do.
        const int err = make_temp_name([this](const std::string& name) { return link_unnamed(fd_, name); });
        if (err != 0) fail_write(err);
    }
    // Linux closes the descriptor even when close reports EINTR, so only other errors are failures.
    if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) fail_write(errno);
    if (temp_.empty()) return;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) fail_write(errno);
    temp_.clear();
}

void Replacement::fail_write(int err) const {
    fail("cannot write " + label_ + " '" + path_ + "': " + os_error_text(err));
}

}  // namespace wexo::file
