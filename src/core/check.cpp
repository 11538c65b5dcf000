// Raising the core's abort and overflow-checked size arithmetic.
#include "core/check.h"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace wexo {

namespace {

// The kind names of the errors a file or an entropy read can meet; anything else is "Uncategorized".
std::string_view os_error_kind(int err) {
    switch (err) {
        case EPERM:
        case EACCES: return "PermissionDenied";
        case ENOENT: return "NotFound";
        case EINTR: return "Interrupted";
        case E2BIG: return "ArgumentListTooLong";
        case EAGAIN: return "WouldBlock";
        case ENOMEM: return "OutOfMemory";
        case EBUSY: return "ResourceBusy";
        case EEXIST: return "AlreadyExists";
        case EXDEV: return "CrossesDevices";
        case ENOTDIR: return "NotADirectory";
        case EISDIR: return "IsADirectory";
        case EINVAL: return "InvalidInput";
        case ETXTBSY: return "ExecutableFileBusy";
        case EFBIG: return "FileTooLarge";
        case ENOSPC: return "StorageFull";
        case ESPIPE: return "NotSeekable";
        case EROFS: return "ReadOnlyFilesystem";
        case EMLINK: return "TooManyLinks";
        case EPIPE: return "BrokenPipe";
        case EDEADLK: return "Deadlock";
        case ENAMETOOLONG: return "InvalidFilename";
        case ENOSYS: return "Unsupported";
        case ENOTEMPTY: return "DirectoryNotEmpty";
        case ELOOP: return "FilesystemLoop";
        case EADDRINUSE: return "AddrInUse";
        case EADDRNOTAVAIL: return "AddrNotAvailable";
        case ENETDOWN: return "NetworkDown";
        case ENETUNREACH: return "NetworkUnreachable";
        case ECONNABORTED: return "ConnectionAborted";
        case ECONNRESET: return "ConnectionReset";
        case ENOTCONN: return "NotConnected";
        case ETIMEDOUT: return "TimedOut";
        case ECONNREFUSED: return "ConnectionRefused";
        case EHOSTUNREACH: return "HostUnreachable";
        case EINPROGRESS: return "InProgress";
        case ESTALE: return "StaleNetworkFileHandle";
        case EDQUOT: return "FilesystemQuotaExceeded";
        default: return "Uncategorized";
    }
}

}  // namespace

std::string os_error_text(int err) {
    char buf[256];
    const char* text = ::strerror_r(err, buf, sizeof buf);  // the GNU form returns the text
    std::string out = "Os { code: " + std::to_string(err) + ", kind: " + std::string(os_error_kind(err)) +
                      ", message: \"";
    for (const char* c = text; *c; ++c) {
        if (*c == '"' || *c == '\\') out += '\\';
        out += *c;
    }
    return out + "\" }";
}

void fail(std::string msg, std::source_location where) { throw Abort(msg, where); }

std::size_t checked_mul(std::size_t a, std::size_t b, std::source_location where) {
    std::size_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) [[unlikely]]
        fail("size overflow: " + std::to_string(a) + " x " + std::to_string(b), where);
    return r;
}

std::string index_out_of_range(std::string_view what, long long index, std::size_t n, std::string_view items) {
    std::string msg(what);
    msg.append(" index ").append(std::to_string(index)).append(" out of range for ").append(std::to_string(n));
    return msg.append(" ").append(items);
}

void check_samples(std::size_t n_have, std::size_t n_needed, const char* what, std::source_location where) {
    if (n_have < n_needed) [[unlikely]] {
        fail("only " + std::to_string(n_have) + " " + what + " for " + std::to_string(n_needed) + " samples", where);
    }
}

}  // namespace wexo
