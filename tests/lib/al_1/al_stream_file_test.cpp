/* Streams: file functions by name, directory listings, disk space, record
 * locks between processes, and redirection of the standard descriptors. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "al_stream.h"
#include "al_stream_test_util.h"
#include "run_program.h"

using streamtest::run_in_child;
using streamtest::slurp;
using streamtest::spit;
using tdbtest::TempDir;

namespace {

/* Points ${STREAM_FILE_DIR} at a private directory while alive. */
class NamedDir {
public:
    NamedDir() { ::setenv("STREAM_FILE_DIR", dir_.path().c_str(), 1); }
    ~NamedDir() { ::unsetenv("STREAM_FILE_DIR"); }
    const TempDir &dir() const { return dir_; }
    std::string path(const std::string &rel) const { return dir_.path() + "/" + rel; }

private:
    TempDir dir_;
};

std::vector<std::string> listing(STREAM_DIR *dp)
{
    std::vector<std::string> names;
    while (const char *n = stream_readdir(dp))
        names.emplace_back(n);
    return names;
}

using Names = std::vector<std::string>;

TEST(StreamFiles, StatAccessAndChmodExpandTheName)
{
    NamedDir d;
    d.dir().write("f", "12345");
    struct stat st {};
    ASSERT_EQ(stream_stat("${STREAM_FILE_DIR}/f", &st), 0);
    EXPECT_EQ(st.st_size, 5);
    EXPECT_EQ(stream_access("${STREAM_FILE_DIR}/f", 6), 0);
    EXPECT_EQ(stream_access("${STREAM_FILE_DIR}/g", 0), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(stream_chmod("${STREAM_FILE_DIR}/f", 0640), 0);
    ASSERT_EQ(::stat(d.path("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(stream_chown("${STREAM_FILE_DIR}/f", ::getuid(), ::getgid()), 0);

    ::unsetenv("STREAM_FILE_UNDEFINED");
    errno = 0;
    EXPECT_EQ(stream_access("${STREAM_FILE_UNDEFINED}/f", 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(stream_stat("${STREAM_FILE_UNDEFINED}", &st), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(stream_stat("${STREAM_FILE_DIR}/f", nullptr), -1);
    EXPECT_EQ(stream_access(nullptr, 0), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(StreamFiles, FstatOfAnOpenStream)
{
    NamedDir d;
    STREAM *sp = sopen("${STREAM_FILE_DIR}/f", "w");
    ASSERT_NE(sp, nullptr);
    sputs("abc", sp);
    sflush(sp);
    struct stat st {};
    ASSERT_EQ(stream_fstat(sp, &st), 0);
    EXPECT_EQ(st.st_size, 3);
    sclose(sp);
    EXPECT_EQ(stream_fstat(nullptr, &st), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(StreamFiles, DirectoriesAreMadeAndRemoved)
{
    NamedDir d;
    mode_t old = ::umask(0);
    EXPECT_EQ(stream_mkdir("${STREAM_FILE_DIR}/sub", 0750), 0);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(d.path("sub").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    EXPECT_EQ(stream_mkdir("${STREAM_FILE_DIR}/sub", 0750), -1);
    EXPECT_EQ(errno, EEXIST);
    d.dir().write("sub/f", "x");
    EXPECT_EQ(stream_rmdir("${STREAM_FILE_DIR}/sub"), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_EQ(stream_unlink("${STREAM_FILE_DIR}/sub/f"), 0);
    EXPECT_EQ(stream_unlink("${STREAM_FILE_DIR}/sub/f"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(stream_rmdir("${STREAM_FILE_DIR}/sub"), 0);
    EXPECT_FALSE(d.dir().exists("sub"));
}

TEST(StreamFiles, RmRemovesATreeButDoesNotFollowLinks)
{
    NamedDir d;
    TempDir outside;
    std::string kept = outside.write("keep/me", "precious");
    d.dir().write("tree/a/b/c", "1");
    d.dir().write("tree/a/d", "2");
    d.dir().write("tree/e", "3");
    ASSERT_EQ(::symlink((outside.path() + "/keep").c_str(), d.path("tree/link").c_str()), 0);
    EXPECT_EQ(stream_rm("${STREAM_FILE_DIR}/tree"), 0);
    EXPECT_FALSE(d.dir().exists("tree"));
    EXPECT_EQ(slurp(kept), "precious");
    d.dir().write("single", "x");
    EXPECT_EQ(stream_rm("${STREAM_FILE_DIR}/single"), 0);
    EXPECT_FALSE(d.dir().exists("single"));
    EXPECT_EQ(stream_rm("${STREAM_FILE_DIR}/none"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(StreamFiles, CpCopiesContentAndModeButNotOntoItself)
{
    NamedDir d;
    std::string data = streamtest::pattern(200000);
    std::string src = d.dir().write("src", data);
    ::chmod(src.c_str(), 0604);
    mode_t old = ::umask(0);
    EXPECT_EQ(stream_cp("${STREAM_FILE_DIR}/src", "${STREAM_FILE_DIR}/dst"), 0);
    ::umask(old);
    EXPECT_EQ(slurp(d.path("dst")), data);
    struct stat st {};
    ::stat(d.path("dst").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0604u);
    /* An existing target is truncated first. */
    d.dir().write("small", "s");
    EXPECT_EQ(stream_cp("${STREAM_FILE_DIR}/small", "${STREAM_FILE_DIR}/dst"), 0);
    EXPECT_EQ(slurp(d.path("dst")), "s");
    errno = 0;
    EXPECT_EQ(stream_cp("${STREAM_FILE_DIR}/src", "${STREAM_FILE_DIR}/./src"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(slurp(src), data);
    EXPECT_EQ(stream_cp("${STREAM_FILE_DIR}", "${STREAM_FILE_DIR}/x"), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(stream_cp("${STREAM_FILE_DIR}/none", "${STREAM_FILE_DIR}/x"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(StreamFiles, MvRenames)
{
    NamedDir d;
    d.dir().write("from", "moved");
    EXPECT_EQ(stream_mv("${STREAM_FILE_DIR}/from", "${STREAM_FILE_DIR}/to"), 0);
    EXPECT_FALSE(d.dir().exists("from"));
    EXPECT_EQ(slurp(d.path("to")), "moved");
    EXPECT_EQ(stream_mv("${STREAM_FILE_DIR}/from", "${STREAM_FILE_DIR}/to"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(StreamFiles, MvAcrossFileSystemsCopiesAndRemoves)
{
    NamedDir d;
    struct stat a {}, b {};
    if (::stat("/dev/shm", &b) != 0 || ::stat(d.dir().path().c_str(), &a) != 0 ||
        a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system (/dev/shm) next to the "
                        "temporary directory";
    std::string there = "/dev/shm/stream_mv_test." + std::to_string(::getpid());
    d.dir().write("from", "across");
    EXPECT_EQ(stream_mv("${STREAM_FILE_DIR}/from", there.c_str()), 0);
    EXPECT_FALSE(d.dir().exists("from"));
    EXPECT_EQ(slurp(there), "across");
    ::unlink(there.c_str());
}

TEST(StreamDirs, ListingIsSortedWithoutDotEntriesAndRewindRereads)
{
    NamedDir d;
    d.dir().write("b", "");
    d.dir().write("a", "");
    d.dir().write("c/inner", "");
    STREAM_DIR *dp = stream_opendir("${STREAM_FILE_DIR}");
    ASSERT_NE(dp, nullptr);
    EXPECT_EQ(listing(dp), (Names{"a", "b", "c"}));
    EXPECT_EQ(stream_readdir(dp), nullptr);
    d.dir().write("0new", "");
    EXPECT_EQ(stream_rewinddir(dp), 0);
    EXPECT_EQ(listing(dp), (Names{"0new", "a", "b", "c"}));
    EXPECT_EQ(stream_closedir(dp), 0);
    EXPECT_EQ(stream_closedir(nullptr), -1);
    EXPECT_EQ(stream_readdir(nullptr), nullptr);
    EXPECT_EQ(stream_opendir("${STREAM_FILE_DIR}/none"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(stream_opendir("${STREAM_FILE_DIR}/a"), nullptr);
    EXPECT_EQ(errno, ENOTDIR);
}

TEST(StreamDirs, TreeListsDepthFirstEachDirectoryBeforeItsContents)
{
    NamedDir d;
    d.dir().write("z", "");
    d.dir().write("m/x/deep", "");
    d.dir().write("m/a", "");
    d.dir().write("b", "");
    STREAM_DIR *dp = stream_opentree("${STREAM_FILE_DIR}");
    ASSERT_NE(dp, nullptr);
    EXPECT_EQ(listing(dp), (Names{"b", "m", "m/a", "m/x", "m/x/deep", "z"}));
    stream_closedir(dp);
    EXPECT_EQ(stream_opentree("${STREAM_FILE_DIR}/none"), nullptr);
}

TEST(StreamFiles, DiskinfoMatchesTheFileSystem)
{
    NamedDir d;
    long long total = -1, avail = -1;
    ASSERT_EQ(stream_diskinfo("${STREAM_FILE_DIR}", &total, &avail), 0);
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(d.dir().path().c_str(), &vfs), 0);
    EXPECT_EQ(total, static_cast<long long>(vfs.f_blocks) * static_cast<long long>(vfs.f_frsize));
    EXPECT_GT(total, 0);
    EXPECT_GE(avail, 0);
    EXPECT_LE(avail, total);
    EXPECT_EQ(stream_diskinfo("${STREAM_FILE_DIR}/none", &total, &avail), -1);
}

TEST(StreamLocks, ALockIsSeenAndRefusedByAnotherProcess)
{
    TempDir dir;
    std::string path = dir.write("locked", "0123456789");
    STREAM *sp = sopen(path.c_str(), "r+");
    ASSERT_NE(sp, nullptr);
    ASSERT_EQ(stream_lock(sp, 0, 5, 0), 0);

    auto check_other = [&](long offset) {
        return run_in_child([&] {
            STREAM *other = sopen(path.c_str(), "r+");
            if (other == nullptr)
                return 20;
            int seen = stream_islocked(other, offset, 1);
            int taken = stream_lock(other, offset, 1, 0);
            sclose(other);
            return seen * 10 + (taken == 0 ? 1 : 0);
        });
    };
    EXPECT_EQ(check_other(2), 10);  /* locked, cannot be taken */
    EXPECT_EQ(check_other(7), 1);   /* outside the range: free */
    EXPECT_EQ(stream_islocked(sp, 0, 5), 0); /* one's own lock does not count */
    ASSERT_EQ(stream_unlock(sp, 0, 5), 0);
    EXPECT_EQ(check_other(2), 1);
    sclose(sp);

    char block[4];
    STREAM *mem = sopenFixedByteArray(block, 4, "w");
    EXPECT_EQ(stream_lock(mem, 0, 0, 0), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(stream_islocked(mem, 0, 0), -1);
    sclose(mem);
}

/* ---- HAL_redirect ------------------------------------------------------- */

TEST(HalRedirect, StandardErrorGoesToACreatedTruncatedFile)
{
    TempDir dir;
    std::string path = dir.write("err", "old content that must go away");
    int rc = run_in_child([&] {
        ::umask(0);
        if (HAL_redirect('e', path.c_str()) != 0)
            return 1;
        ::write(2, "raw\n", 4);
        std::fprintf(stderr, "stdio %d\n", 7);
        /* The new standard error survives exec. */
        ::execl("/bin/sh", "sh", "-c", "echo from-child >&2", static_cast<char *>(nullptr));
        return 2;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(slurp(path), "raw\nstdio 7\nfrom-child\n");
    struct stat st {};
    ::stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(HalRedirect, StandardOutputAndInput)
{
    TempDir dir;
    std::string out = dir.path() + "/out";
    std::string in = dir.write("in", "line from file\n");
    int rc = run_in_child([&] {
        if (HAL_redirect('i', in.c_str()) != 0 || HAL_redirect('o', out.c_str()) != 0)
            return 1;
        char buf[64] = {0};
        if (std::fgets(buf, sizeof buf, stdin) == nullptr)
            return 2;
        std::printf("got: %s", buf);
        std::fflush(stdout);
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(slurp(out), "got: line from file\n");
}

TEST(HalRedirect, RedirSendsBothToOneFile)
{
    TempDir dir;
    std::string path = dir.path() + "/both";
    int rc = run_in_child([&] {
        if (HAL_redir(path.c_str()) != 0)
            return 1;
        ::write(1, "out\n", 4);
        ::write(2, "err\n", 4);
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(slurp(path), "out\nerr\n");
}

TEST(HalRedirect, BadArgumentsFailWithoutTouchingTheDescriptors)
{
    TempDir dir;
    struct stat before {}, after {};
    ::fstat(2, &before);
    errno = 0;
    EXPECT_EQ(HAL_redirect('x', (dir.path() + "/f").c_str()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(HAL_redirect('i', (dir.path() + "/missing").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(HAL_redirect('e', (dir.path() + "/no/such/dir/f").c_str()), -1);
    EXPECT_EQ(HAL_redirect('e', nullptr), -1);
    EXPECT_EQ(HAL_redir("${STREAM_UNDEFINED_FOR_REDIR}/f"), -1);
    EXPECT_EQ(errno, EINVAL);
    ::fstat(2, &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_FALSE(dir.exists("f"));
}

} // namespace
