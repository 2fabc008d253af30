// The .cube reader: what real files contain, what must fail, the 8-bit
// atlas, and files that must not block or be read whole.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/config.h"
#include "gpu/lut.h"

namespace {

// Feeds a whole text as a reader would: lines of at most 255 characters.
int feed(CubeParse *p, const std::string &text) {
    size_t i = 0;
    while (i < text.size()) {
        size_t e = text.find('\n', i);
        e = e == std::string::npos ? text.size() : e + 1;
        e = std::min(e, i + 255);
        if (cube_line(p, text.substr(i, e - i).c_str()) < 0) return -1;
        i = e;
    }
    return 0;
}

std::string rows(int count, const char *row = "0.5 0.25 1\n") {
    std::string s;
    for (int i = 0; i < count; i++) s += row;
    return s;
}

TEST(CubeParse, WhatRealFilesContain) {
    {
        CubeParse p; // comments, keywords, blank lines, CRLF, data before the size
        EXPECT_EQ(feed(&p, "0.1 0.2 0.3\n# comment\n\t  # indented comment\n\nTITLE \"x\"\r\n"
                           "DOMAIN_MIN 0 0 0\r\nDOMAIN_MAX 1 1 1\r\nLUT_1D_SIZE 4\r\n"
                           "LUT_3D_INPUT_RANGE 0 1\r\n  LUT_3D_SIZE 2\r\n\r\n" +
                               rows(8, "0.5 0.25 1\r\n")),
                  0);
        EXPECT_TRUE(cube_complete(p));
        EXPECT_EQ(p.n, 2);
        EXPECT_EQ(p.table[0], 0.5f);
    }
    {
        CubeParse p; // a 33-point table
        EXPECT_EQ(feed(&p, "LUT_3D_SIZE 33\n" + rows(35937)), 0);
        EXPECT_TRUE(cube_complete(p));
    }
    {
        CubeParse p; // extra rows are ignored
        EXPECT_EQ(feed(&p, "LUT_3D_SIZE 2\n" + rows(8) + "9 9 9\n"), 0);
        EXPECT_TRUE(cube_complete(p));
        EXPECT_EQ(p.table[3 * 7], 0.5f);
    }
    for (const char *bad : {"LUT_3D_SIZE 65\n", "LUT_3D_SIZE 1\n", "LUT_3D_SIZE 0\n",
                            "LUT_3D_SIZE\n", "LUT_3D_SIZE -4\n"}) {
        CubeParse p;
        EXPECT_EQ(feed(&p, bad), -1) << bad;
    }
    for (const std::string &incomplete :
         {"LUT_1D_SIZE 2\n" + rows(8), "LUT_3D_SIZE 2\n" + rows(7),
          "LUT_3D_SIZE 2\n" + rows(7) + "1 2\n1 x 2\n", std::string()}) {
        CubeParse p;
        EXPECT_EQ(feed(&p, incomplete), 0);
        EXPECT_FALSE(cube_complete(p)) << incomplete;
    }
    {
        CubeParse p; // a second size starts again
        EXPECT_EQ(feed(&p, "LUT_3D_SIZE 3\n" + rows(5) + "LUT_3D_SIZE 2\n" + rows(8)), 0);
        EXPECT_TRUE(cube_complete(p));
        EXPECT_EQ(p.n, 2);
    }
    {
        CubeParse p; // a line longer than the buffer arrives in pieces, each a line
        EXPECT_EQ(feed(&p, "LUT_3D_SIZE 2\n" + std::string(250, ' ') + "1 1 1 " +
                               std::string(300, '7') + "\n" + rows(7)),
                  0);
        EXPECT_TRUE(cube_complete(p));
    }
}

TEST(CubeParse, AtlasLayoutAndRounding) {
    CubeParse p;
    std::string t = "LUT_3D_SIZE 2\n";
    // Entry k = r + 2 g + 4 b holds (k / 10, -0.1 or 1.2, nan or 0.5).
    for (int k = 0; k < 8; k++)
        t += std::to_string(k / 10.0) + (k & 1 ? " -0.1" : " 1.2") + (k & 2 ? " nan\n" : " 0.5\n");
    ASSERT_EQ(feed(&p, t), 0);
    ASSERT_TRUE(cube_complete(p));
    std::vector<uint8_t> atlas(4 * 2 * 3);
    cube_to_atlas(p, atlas.data());
    for (int g = 0; g < 2; g++)
        for (int b = 0; b < 2; b++)
            for (int r = 0; r < 2; r++) {
                const int k = r + 2 * g + 4 * b;
                const uint8_t *px = &atlas[(size_t)(g * 4 + b * 2 + r) * 3];
                EXPECT_EQ(px[0], (int)(k / 10.0 * 255 + 0.5)) << k;
                EXPECT_EQ(px[1], k & 1 ? 0 : 255) << k;
                EXPECT_EQ(px[2], k & 2 ? 0 : 128) << k;
            }
}

TEST(CubeParse, FilesThatCannotBeTables) {
    const std::string dir = testing::TempDir() + "vex-lut-test." + std::to_string(getpid());
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const std::string fifo = dir + "/fifo.cube", big = dir + "/big.cube";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0); // nobody writes: must not block
    FILE *f = fopen(big.c_str(), "w");
    ASSERT_TRUE(f);
    fputs("LUT_3D_SIZE 2\n", f);
    ASSERT_EQ(ftruncate(fileno(f), 40 << 20), 0); // far larger than any table
    fclose(f);
    for (const std::string &path : {fifo, dir, big, dir + "/missing.cube"}) {
        snprintf(g_lut_path, sizeof g_lut_path, "%s", path.c_str());
        testing::internal::CaptureStderr();
        EXPECT_EQ(lut_load(), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "vex-mpp: LUT parse failed: " + path + "\n");
    }
    EXPECT_EQ(g_lut_n, 0);
    g_lut_path[0] = 0;
    unlink(fifo.c_str()), unlink(big.c_str()), rmdir(dir.c_str());
}

} // namespace
