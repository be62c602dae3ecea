// Output files written whole or not at all, shared by brivane and its
// companion programs.
//
// An output is written to a temporary regular file and put in place only
// when complete, so that a failed or interrupted run neither destroys an
// earlier result nor leaves a truncated one:
//   - a regular file (or a new name): the temporary file is made beside it
//     and renamed over it; a symbolic link is followed to its target, which
//     is replaced while the link stays;
//   - a character device or a FIFO (/dev/null, /dev/stdout, a named pipe),
//     which the netCDF library can neither create nor seek: the temporary
//     file is made in $TMPDIR (default /tmp) and its bytes are copied into
//     the target, which is never removed or replaced; one without write
//     permission is refused at once, not when the output is complete;
//   - anything else (a folder, a block device, a socket) is refused.
// Temporary files still present when the program ends (a fatal error, or a
// signal that ends it: SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM,
// SIGUSR1 and the others a user, a limit or a timer may send) are removed.
// SIGXFSZ is ignored, so that a write beyond the file size limit fails as a
// write instead of killing the program with its temporary file left behind.
#ifndef SAFE_OUTPUT_H
#define SAFE_OUTPUT_H

#include <string>

// Whether the two names are one existing file (links followed, hard links
// found by their inode).
bool same_file(const char *a, const char *b);

// Whether the name is the file open on descriptor `fd` (the same device and
// inode): /dev/stdout and /proc/self/fd/1 for descriptor 1, or a file that
// standard output was sent to.
bool names_descriptor(const char *name, int fd);

// The name of a temporary file in `folder` (ending in '/', or empty for the
// current folder) for an output called `base`: base + ".tmpXXXXXX", with
// base shortened where the whole would exceed the longest name of
// `name_max` bytes.  The X's are for mkstemp.
std::string temporary_name(const std::string &folder, const std::string &base, long name_max);

class SafeOutput {
  public:
    // Makes the temporary file for the output `name`; on failure ok() is
    // false and error() says why.
    explicit SafeOutput(const std::string &name);
    // Removes the temporary file unless it was committed.
    ~SafeOutput();
    SafeOutput(const SafeOutput &) = delete;
    SafeOutput &operator=(const SafeOutput &) = delete;

    bool ok() const { return error_.empty(); }
    // The reason of the last failure, as strerror gives it.
    const std::string &error() const { return error_; }
    // The temporary regular file to write, closed and empty.
    const std::string &path() const { return temp_; }
    // Where the output goes in the end (the output name, links followed).
    const std::string &target() const { return target_; }

    // Puts the written temporary file in place; false with error() on failure,
    // the temporary file then removed.
    bool commit();
    // Removes the temporary file.
    void discard();

  private:
    bool fail(int error_number);
    bool copy_into_target();

    std::string target_;
    std::string temp_;
    bool stream_ = false;  // the target is a character device or a FIFO
    bool created_ = false; // the temporary file exists
    int slot_ = -1;        // in the list of files removed at the end
    std::string error_;
};

#endif
