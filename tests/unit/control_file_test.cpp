#include "core/control_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Poll {
    ControlFile file;
    ControlText text;
    ControlPoll at(const std::string &path) {
        return poll_control_file(path.c_str(), &file, &text);
    }
};

void touch(const std::string &path, long stamp) {
    const timespec t[2] = {{stamp, 0}, {stamp, 0}};
    utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW);
}

} // namespace

TEST(ControlFile, ReadsRegularFilesOnlyAndAtMost64KiB) {
    alarm(20); // a read that blocks fails the test instead of hanging it
    const std::string dir = testing::TempDir() + "vex-control." + std::to_string(getpid());
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const std::string path = dir + "/menu";
    Poll p;
    EXPECT_EQ(p.at(path), ControlPoll::missing);
    std::ofstream(path) << "open\n1\n";
    touch(path, 1000);
    ASSERT_EQ(p.at(path), ControlPoll::changed);
    EXPECT_EQ(std::string(p.text.data, p.text.len), "open\n1\n");
    EXPECT_EQ(p.at(path), ControlPoll::unchanged);

    // Not regular files: a FIFO without a writer (opening it for reading would
    // block), a link to an endless device, a directory. Never read, logged once
    // for each file.
    testing::internal::CaptureStderr();
    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    EXPECT_EQ(p.at(path), ControlPoll::unchanged);
    touch(path, 1001);
    EXPECT_EQ(p.at(path), ControlPoll::unchanged);
    Poll z, d;
    const std::string zero = dir + "/telemetry";
    ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
    EXPECT_EQ(z.at(zero), ControlPoll::unchanged);
    EXPECT_EQ(d.at(dir), ControlPoll::unchanged);
    const std::string log = testing::internal::GetCapturedStderr();
    size_t lines = 0;
    for (size_t at = 0; (at = log.find("is not a regular file", at)) != std::string::npos; at++)
        lines++;
    EXPECT_EQ(lines, 3u) << log;

    // A file of 50 MB: the first 64 KiB are read.
    unlink(path.c_str());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "message\nBig\n", 12), 12);
    ASSERT_EQ(ftruncate(fd, 50 << 20), 0);
    close(fd);
    touch(path, 1002);
    ASSERT_EQ(p.at(path), ControlPoll::changed);
    EXPECT_EQ(p.text.len, control_file_max);
    EXPECT_EQ(std::string(p.text.data, 12), "message\nBig\n");
    EXPECT_EQ(p.text.data[control_file_max], '\0');

    unlink(path.c_str());
    unlink(zero.c_str());
    rmdir(dir.c_str());
    alarm(0);
}

TEST(ControlFile, LinesSplitAsFgetsDoes) {
    const std::string texts[] = {
        "",
        "\n",
        "a\nb",
        "a\r\nb\n\n",
        std::string(300, 'x') + "\ny\n",
        std::string("nul\0inside\nnext\n", 16),
        std::string(127, 'q') + "\n" + std::string(126, 'r'),
    };
    for (const std::string &text : texts) {
        for (size_t size : {2, 8, 128}) {
            FILE *f = fmemopen((void *)text.data(), text.size(), "r");
            std::string want, got;
            char line[128];
            if (f) // fmemopen of an empty buffer fails: no lines either way
                while (fgets(line, (int)size, f)) want += std::string(line) + "|";
            if (f) fclose(f);
            ControlLines lines(text.data(), text.size());
            while (lines.next(line, size)) got += std::string(line) + "|";
            EXPECT_EQ(got, want) << "size " << size << " of " << text.size() << " bytes";
        }
    }
}
