// Replacing a file's content so that a failed write never leaves a truncated or lost file, and OS error text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wexo::file {

// "No such file or directory (os error 2)": the text and code of errno value err.
std::string os_error_text(int err);

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

// New content for the file at path. A regular file (or a path that does not exist yet) is written to a
// temporary file in the same directory and renamed over it by commit(): a new file gets 0666 & ~umask, an
// existing one keeps its permission bits (and, where allowed, its owner). A symlink is followed and its
// target replaced. Anything else that exists (a device such as /dev/full, a pipe) is opened and written in
// place. Every failure aborts with "cannot open <label> '<path>' for writing: <os error>" or "cannot write
// <label> '<path>': <os error>"; the temporary file never outlives the object.
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
    // The descriptor being written (-1 after commit): its position is the end of what write() handed on.
    int fd() const { return fd_; }

private:
    [[noreturn]] void fail_write(int err) const;

    std::string path_;   // as given, for messages
    std::string label_;  // "model file"
    std::string temp_;   // the temporary file; empty when writing in place or once renamed
    std::string target_;  // path with symlinks resolved
    int fd_ = -1;
};

}  // namespace wexo::file
