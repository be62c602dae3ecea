// safe_output: where the temporary file goes, what commit does to each kind
// of target, what is refused, and that no temporary file outlives the program.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "safe_output.h"

namespace {

class SafeOutputTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char folder[] = "/tmp/safe_output_testXXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir_ = folder;
    }
    void TearDown() override
    {
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    // The names in the folder, sorted, blank-separated.
    std::string listing() const
    {
        std::string command = "ls -A '" + dir_ + "' | tr '\\n' ' '";
        FILE *p = popen(command.c_str(), "r");
        std::string out;
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, p)) > 0)
            out.append(buffer, got);
        pclose(p);
        return out;
    }
    std::string dir_;
};

void write_file(const std::string &name, const std::string &text)
{
    std::ofstream(name) << text;
}

std::string read_file(const std::string &name)
{
    std::ifstream f(name);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(TemporaryName, KeepsTheBaseWhereItFitsAndShortensItWhereNot)
{
    const std::string long_base(250, 'a');
    struct {
        std::string folder, base;
        long name_max;
        std::string expected;
    } cases[] = {
        {"", "out.nc", 255, "out.nc.tmpXXXXXX"},
        {"d/", "out.nc", 255, "d/out.nc.tmpXXXXXX"},
        {"", long_base, 255, std::string(245, 'a') + ".tmpXXXXXX"},
        {"/x/", "abcdef", 12, "/x/ab.tmpXXXXXX"},
        {"", "abcdef", 5, ".tmpXXXXXX"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(temporary_name(c.folder, c.base, c.name_max), c.expected) << c.base;
}

TEST_F(SafeOutputTest, SameFileFollowsLinksAndTellsFilesApart)
{
    write_file(path("a"), "a");
    write_file(path("b"), "b");
    ASSERT_EQ(symlink("a", path("link").c_str()), 0);
    ASSERT_EQ(link(path("a").c_str(), path("hard").c_str()), 0);
    struct {
        std::string x, y;
        bool same;
    } cases[] = {
        {path("a"), path("a"), true},
        {path("a"), dir_ + "/./a", true},
        {path("a"), path("link"), true},
        {path("a"), path("hard"), true},
        {path("a"), path("b"), false},
        {path("a"), path("missing"), false},
        {path("missing"), path("missing"), false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(same_file(c.x.c_str(), c.y.c_str()), c.same) << c.x << " " << c.y;
}

TEST_F(SafeOutputTest, NamesDescriptorFindsTheFileOfAnOpenDescriptor)
{
    write_file(path("a"), "a");
    write_file(path("b"), "b");
    int file = open(path("a").c_str(), O_RDONLY);
    int ends[2];
    ASSERT_GE(file, 0);
    ASSERT_EQ(pipe(ends), 0);
    int closed = dup(file);
    ASSERT_GE(closed, 0);
    close(closed);
    const std::string pipe_fd = std::to_string(ends[1]);
    struct {
        std::string name;
        int fd;
        bool names;
    } cases[] = {
        {path("a"), file, true},
        {"/dev/fd/" + std::to_string(file), file, true},
        {"/dev/fd/" + pipe_fd, ends[1], true},
        {"/proc/self/fd/" + pipe_fd, ends[1], true},
        {"/dev/fd/" + pipe_fd, ends[0], true},  // both ends are one pipe
        {path("b"), file, false},
        {path("missing"), file, false},
        {"/dev/fd/" + pipe_fd, file, false},
        {path("a"), closed, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(names_descriptor(c.name.c_str(), c.fd), c.names) << c.name << " " << c.fd;
    close(file);
    close(ends[0]);
    close(ends[1]);
}

TEST_F(SafeOutputTest, RegularFileIsReplacedOnlyOnCommit)
{
    write_file(path("out"), "earlier");
    {
        SafeOutput out(path("out"));
        ASSERT_TRUE(out.ok()) << out.error();
        EXPECT_EQ(out.path().rfind(path("out.tmp"), 0), 0u) << out.path();
        write_file(out.path(), "new");
        EXPECT_EQ(read_file(path("out")), "earlier");
        ASSERT_TRUE(out.commit());
    }
    EXPECT_EQ(read_file(path("out")), "new");
    EXPECT_EQ(listing(), "out ");
}

TEST_F(SafeOutputTest, DiscardedOrAbandonedOutputLeavesTheEarlierFileAndNoTemporary)
{
    write_file(path("out"), "earlier");
    {
        SafeOutput out(path("out"));
        write_file(out.path(), "half");
        out.discard();
    }
    {
        SafeOutput out(path("out"));
        write_file(out.path(), "half");
    }
    EXPECT_EQ(read_file(path("out")), "earlier");
    EXPECT_EQ(listing(), "out ");
}

TEST_F(SafeOutputTest, SymbolicLinksAreFollowedAndStayLinks)
{
    ASSERT_EQ(mkdir(path("sub").c_str(), 0777), 0);
    write_file(path("sub/target"), "earlier");
    ASSERT_EQ(symlink("sub/target", path("link").c_str()), 0);
    ASSERT_EQ(symlink("link", path("link2").c_str()), 0);
    ASSERT_EQ(symlink("sub/new", path("dangling").c_str()), 0);
    for (const char *name : {"link2", "dangling"}) {
        SafeOutput out(path(name));
        ASSERT_TRUE(out.ok()) << out.error();
        EXPECT_EQ(out.path().rfind(path("sub/"), 0), 0u) << out.path();
        write_file(out.path(), name);
        ASSERT_TRUE(out.commit());
    }
    struct stat st;
    ASSERT_EQ(lstat(path("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(path("sub/target")), "link2");
    EXPECT_EQ(read_file(path("sub/new")), "dangling");
}

TEST_F(SafeOutputTest, CharacterDeviceIsWrittenThroughAndStays)
{
    setenv("TMPDIR", dir_.c_str(), 1);
    SafeOutput out("/dev/null");
    unsetenv("TMPDIR");
    ASSERT_TRUE(out.ok()) << out.error();
    EXPECT_EQ(out.path().rfind(dir_ + "/", 0), 0u) << out.path();
    write_file(out.path(), "bytes");
    ASSERT_TRUE(out.commit());
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(listing(), "");
}

TEST_F(SafeOutputTest, FifoGetsTheBytesAndStays)
{
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0666), 0);
    std::string got;
    std::thread reader([&] { got = read_file(path("fifo")); });
    setenv("TMPDIR", dir_.c_str(), 1);
    SafeOutput out(path("fifo"));
    unsetenv("TMPDIR");
    ASSERT_TRUE(out.ok()) << out.error();
    write_file(out.path(), std::string(200000, 'x'));
    EXPECT_TRUE(out.commit()) << out.error();
    reader.join();
    EXPECT_EQ(got, std::string(200000, 'x'));
    struct stat st;
    ASSERT_EQ(lstat(path("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(listing(), "fifo ");
}

TEST_F(SafeOutputTest, FoldersSocketsAndMissingFoldersAreRefused)
{
    ASSERT_EQ(mkdir(path("folder").c_str(), 0777), 0);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::string socket_name = path("socket");
    ASSERT_LT(socket_name.size(), sizeof address.sun_path);
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_name.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    struct {
        std::string name, error;
    } cases[] = {
        {path("folder"), std::strerror(EISDIR)},
        {path("socket"), "not a regular file, character device or FIFO"},
        {path("missing/out"), std::strerror(ENOENT)},
    };
    for (const auto &c : cases) {
        SafeOutput out(c.name);
        EXPECT_FALSE(out.ok()) << c.name;
        EXPECT_EQ(out.error(), c.error) << c.name;
        EXPECT_FALSE(out.commit());
    }
    close(fd);
    EXPECT_EQ(listing(), "folder socket ");
}

TEST_F(SafeOutputTest, FifoOrDeviceWithoutWritePermissionIsRefusedAtOnce)
{
    // Opening the target waits until the output is complete: its permission
    // is asked first.  Root may write anything, so a child that is root
    // takes the user nobody's rights.
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
    ASSERT_EQ(chmod(path("fifo").c_str(), 0644), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        if (getuid() == 0 || access(path("fifo").c_str(), W_OK) == 0)
            _exit(4);  // the owner; not a case this test can make
        bool refused;
        {
            SafeOutput out(path("fifo"));
            refused = !out.ok() && out.error() == std::strerror(EACCES);
        }
        _exit(refused ? 0 : 1);
    }
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 4)
        GTEST_SKIP() << "the test's user owns the FIFO";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(listing(), "fifo ");
}

TEST_F(SafeOutputTest, TemporaryFilesGoAtExitAndOnTerminatingSignals)
{
    // Every signal whose default action ends the program and that a user,
    // a limit or a timer may send; 0: a plain exit.
    const int signals[] = {0,       SIGINT,    SIGTERM,  SIGHUP,  SIGQUIT, SIGPIPE, SIGALRM,  SIGUSR1,
                           SIGUSR2, SIGVTALRM, SIGPROF,  SIGXCPU, SIGPOLL, SIGPWR,  SIGRTMIN, SIGRTMAX};
    for (int signal_number : signals) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            struct rlimit no_core = {0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            SafeOutput out(path("out"));
            write_file(out.path(), "half");
            char byte = out.ok() ? 'y' : 'n';
            if (write(ready[1], &byte, 1) != 1 || signal_number == 0)
                std::exit(1);
            pause();
            _exit(2);
        }
        char byte = 0;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        EXPECT_EQ(byte, 'y');
        if (signal_number) {
            EXPECT_NE(listing(), "") << "the temporary file exists while the child writes";
            kill(child, signal_number);
        }
        int status;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (signal_number) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << signal_number;
        }
        EXPECT_EQ(listing(), "") << "signal " << signal_number;
        std::string clear = "rm -f '" + dir_ + "'/*";
        ASSERT_EQ(std::system(clear.c_str()), 0);
        close(ready[0]);
        close(ready[1]);
    }
}

} // namespace
