// Output files written to a temporary file and put in place when complete.
#include "safe_output.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char MSG_NOT_WRITABLE_KIND[] = "not a regular file, character device or FIFO";

// The temporary files that exist, for the removal at exit and on a signal;
// plain arrays, so that a signal handler may read them.  A slot is in use
// while its name is not empty.
const int SLOTS = 16;
char live[SLOTS][PATH_MAX];

void remove_live_files()
{
    for (int k = 0; k < SLOTS; k++)
        if (live[k][0])
            unlink(live[k]);
}

extern "C" void remove_live_files_at_exit()
{
    remove_live_files();
}

extern "C" void remove_live_files_and_die(int signal_number)
{
    remove_live_files();
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// The signals whose default action ends the program and that a user, a
// limit, a timer or a closed reader may send.  The program's own faults
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS) are left to
// their default action, or to the debugger or sanitizer that reports them.
// SIGXFSZ is ignored instead (a write beyond the size limit then fails).
sigset_t terminating_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGVTALRM,
                              SIGPROF, SIGXCPU, SIGPOLL, SIGPWR})
        sigaddset(&set, signal_number);
#ifdef SIGSTKFLT
    sigaddset(&set, SIGSTKFLT);
#endif
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; signal_number++)
        sigaddset(&set, signal_number);
    return set;
}

// Once per program: the removal at exit and on the signals that end it.
// Only a signal left to its default action is taken over: one ignored by
// whoever started the program (nohup) stays ignored, and one with a handler
// of its own (a profiler's SIGPROF) keeps it.
void install_removal()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    std::atexit(remove_live_files_at_exit);
    sigset_t terminating = terminating_signals();
    for (int signal_number = 1; signal_number < NSIG; signal_number++) {
        struct sigaction current;
        if (sigismember(&terminating, signal_number) == 1 && sigaction(signal_number, nullptr, &current) == 0 &&
            current.sa_handler == SIG_DFL)
            std::signal(signal_number, remove_live_files_and_die);
    }
    std::signal(SIGXFSZ, SIG_IGN);
}

int take_slot(const std::string &name)
{
    if (name.size() >= PATH_MAX)
        return -1;
    for (int k = 0; k < SLOTS; k++)
        if (!live[k][0]) {
            std::memcpy(live[k], name.c_str(), name.size() + 1);
            return k;
        }
    return -1;
}

std::string folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string base_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name a chain of symbolic links ends in (the name itself when it is no
// link); false with errno after too many links.
bool follow_links(std::string &path)
{
    for (int hops = 0; hops < 40; hops++) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return true;
        std::string target(PATH_MAX, '\0');
        ssize_t length = readlink(path.c_str(), &target[0], target.size());
        if (length < 0)
            return false;
        target.resize(length);
        path = !target.empty() && target[0] == '/' ? target : folder_of(path) + target;
    }
    errno = ELOOP;
    return false;
}

bool write_all(int fd, const char *bytes, size_t count)
{
    while (count > 0) {
        ssize_t done = write(fd, bytes, count);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        bytes += done;
        count -= done;
    }
    return true;
}

} // namespace

bool same_file(const char *a, const char *b)
{
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool names_descriptor(const char *name, int fd)
{
    struct stat named, opened;
    return stat(name, &named) == 0 && fstat(fd, &opened) == 0 && named.st_dev == opened.st_dev &&
           named.st_ino == opened.st_ino;
}

std::string temporary_name(const std::string &folder, const std::string &base, long name_max)
{
    const std::string suffix = ".tmpXXXXXX";
    long room = name_max - (long)suffix.size();
    std::string kept = base;
    if ((long)kept.size() > room)
        kept.resize(room > 0 ? room : 0);
    return folder + kept + suffix;
}

SafeOutput::SafeOutput(const std::string &name) : target_(name)
{
    install_removal();
    // What the name stands for is asked of the system first: the links of
    // /proc (/dev/stdout) name no path that readlink could give.  A device
    // or FIFO is then opened by the name itself; a file to be replaced or
    // made is found by following the links.
    struct stat st;
    if (stat(target_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            fail(EISDIR);
            return;
        }
        stream_ = S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode);
        if (!stream_ && !S_ISREG(st.st_mode)) {
            error_ = MSG_NOT_WRITABLE_KIND;
            return;
        }
    }
    if (!stream_ && !follow_links(target_)) {
        fail(errno);
        return;
    }
    // A device or FIFO is opened only when the output is complete; one that
    // may not be written is refused now, before the run.
    if (stream_ && access(target_.c_str(), W_OK) != 0) {
        fail(errno);
        return;
    }
    std::string folder = folder_of(target_);
    if (stream_) {
        const char *tmpdir = std::getenv("TMPDIR");
        folder = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/";
    }
    long name_max = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    temp_ = temporary_name(folder, stream_ ? "brivane" : base_of(target_), name_max > 0 ? name_max : NAME_MAX);
    // The slot is taken before the file exists, and the terminating signals
    // wait while the file is made and its name filed, so that no signal
    // between the two can leave it behind.
    slot_ = take_slot(temp_);
    sigset_t terminating = terminating_signals(), before;
    sigprocmask(SIG_BLOCK, &terminating, &before);
    int fd = mkstemp(&temp_[0]);
    int error_number = errno;
    if (fd >= 0 && slot_ >= 0)
        std::memcpy(live[slot_], temp_.c_str(), temp_.size() + 1);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0) {
        fail(error_number);
        return;
    }
    created_ = true;
    // mkstemp makes the file private; the result gets the usual mode.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
}

SafeOutput::~SafeOutput()
{
    discard();
}

bool SafeOutput::fail(int error_number)
{
    error_ = std::strerror(error_number);
    discard();
    return false;
}

void SafeOutput::discard()
{
    if (created_)
        unlink(temp_.c_str());
    created_ = false;
    if (slot_ >= 0)
        live[slot_][0] = '\0';
    slot_ = -1;
    temp_.clear();
}

bool SafeOutput::commit()
{
    if (!ok() || !created_)
        return false;
    if (stream_)
        return copy_into_target();
    if (std::rename(temp_.c_str(), target_.c_str()) != 0)
        return fail(errno);
    if (slot_ >= 0)
        live[slot_][0] = '\0';
    slot_ = -1;
    created_ = false;
    temp_.clear();
    return true;
}

// Copies the temporary file into the device or FIFO; opening a FIFO waits
// for its reader.  A reader that goes away makes the write fail (EPIPE)
// instead of ending the program.
bool SafeOutput::copy_into_target()
{
    int in = open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return fail(errno);
    int out = open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (out < 0) {
        int error_number = errno;
        close(in);
        return fail(error_number);
    }
    struct sigaction ignore = {}, before;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &before);
    static char buffer[1 << 16];
    int error_number = 0;
    for (;;) {
        errno = 0;
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || (got > 0 && !write_all(out, buffer, got)))
            error_number = errno ? errno : EIO;
        if (got <= 0 || error_number)
            break;
    }
    if (close(out) != 0 && !error_number)
        error_number = errno;
    close(in);
    sigaction(SIGPIPE, &before, nullptr);
    if (error_number)
        return fail(error_number);
    discard();
    return true;
}
