// Replacing a file's content so that a failed write never leaves a truncated or lost file, and OS error text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/check.h"

namespace wexo::file {

using wexo::os_error_text;  // the one form of an OS error in every message

// A file opened for reading, closed with the object. Failures abort with "cannot open <label> '<path>': <os
// error>"; a path holding a NUL byte (the OS would see only the part before it) with "cannot open <label>: the
// path contains a NUL byte".
class Input {
public:
    Input(const std::string& path, std::string_view label);
    ~Input();
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    int fd() const { return fd_; }
    std::uint64_t size() const { return size_; }  // a regular file's size, else 0

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// New content for the file at path. A regular file (or a path that does not exist yet) is written to a new file
// in the same directory and renamed over it by commit(): a new file gets 0666 & ~umask, an existing one keeps its
// permission bits (and, where allowed, its owner). The new file has no name until commit() (O_TMPFILE), so a
// process killed while writing leaves nothing behind; where the file system cannot make unnamed files it is a
// hidden sibling ".<name>.tmp<16 hex digits>" from the start. A symlink is followed and its target replaced.
// Anything else that exists (a device such as /dev/full, a pipe) is opened and written in place. Every failure
// aborts with "cannot open <label> '<path>' for writing: <os error>" or "cannot write <label> '<path>': <os
// error>" and leaves the previous file as it was; the new file never outlives the object.
class Replacement {
public:
    Replacement(std::string path, std::string_view label);
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    // All n bytes, retrying interrupted and short writes.
    void write(const char* p, std::size_t n);
    // Closes the file and moves it over the target; the new content is in place only after this returns.
    void commit();
    // The descriptor being written (-1 after commit): its position is the end of what write() handed on. A new
    // file is open for reading too (a writer may read back what it wrote); a device or pipe written in place is not.
    int fd() const { return fd_; }
    bool readable() const { return fd_ >= 0 && !in_place_; }

private:
    [[noreturn]] void fail_write(int err) const;
    // Calls make(name) with fresh sibling names of the target until it returns 0 (temp_ = that name) or an error
    // other than EEXIST, which it returns.
    template <class Make>
    int make_temp_name(Make make);

    std::string path_;   // as given, for messages
    std::string label_;  // "model file"
    std::string temp_;   // the new file's name; empty while it has none, when writing in place, once renamed
    std::string target_;  // path with symlinks resolved
    int fd_ = -1;
    bool unnamed_ = false;  // the new file gets its name in commit()
    bool in_place_ = false;  // a device or pipe, opened write-only
};

}  // namespace wexo::file
