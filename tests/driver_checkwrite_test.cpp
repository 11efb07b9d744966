// Output naming and the overwrite dialogue, with answers fed through
// standard input.
#include <sys/stat.h>

#include <cstdio>

#include "driver/driver.h"
#include "platform/platform.h"
#include "support/bmp_util.h"

namespace {

class CheckWrite : public ::testing::Test {
protected:
    void TearDown() override { std::fclose(stdin); }

    std::string path(const std::string &name) { return dir + PATH_SEP + name; }

    // Replaces standard input with the given text; an empty text with no
    // newline is the end of input.
    void answers(const std::string &text)
    {
        std::string f = dir + "/.answers";
        std::ofstream(f) << text;
        ASSERT_NE(std::freopen(f.c_str(), "r", stdin), nullptr);
    }

    BmpTempDir tmp;
    std::string dir = tmp.path;
};

} // namespace

// A name made in a directory: the input's stem (its directory part kept)
// and the kind's extension; a given name is used unchanged.
TEST_F(CheckWrite, OutputNames)
{
    answers("");
    const std::string sub = std::string("sub") + PATH_SEP;
    const struct { int type; const char *dir; std::string in, out; } rows[] = {
        {0, "d", "abc.jpg", "abc.bmp"}, {2, "d", "abc.jpg", "abc.imp"}, {1, "d", "abc.jpg", "abc.bm2"},
        {7, "d", "a.b.gif", "a.b.bmp"}, {0, "d", "noext", "noext.bmp"}, {0, "d", sub + "abc.jpg", sub + "abc.bmp"},
        {2, nullptr, "given.gif", "given.gif"},
    };
    for (auto r : rows) {
        char out[OUTPATH_SIZE];
        int skip = 9;
        EXPECT_EQ(checkWrite(1, r.type, r.dir, &r.in[0], out, &skip), 1);
        EXPECT_EQ(skip, 0);
        EXPECT_EQ(out, (r.dir ? std::string(r.dir) + PATH_SEP : "") + r.out) << r.in;
    }
}

// What is at the output path: a file, a read-only file (read-only for root
// too) or a directory. A derived name offers "all"; a given name only yes
// or no; a read-only file is never written, after "all" marked to skip.
// Every question takes its answer line, however long, and no more.
TEST_F(CheckWrite, Dialogue)
{
    const char *all = ": overwrite? (y/n/a) ", *yn = ": overwrite? (y/n) ", *ok = ": read-only file, and so cannot write, ok? ";
    const struct { char there; bool derived; int state; std::string line; int want, skip; const char *err; } rows[] = {
        {'f', true, 1, "y\n", 1, 0, all},  {'f', true, 1, "yes\n", 1, 0, all}, {'f', true, 1, "Y\n", 1, 0, all},
        {'f', true, 1, "a\n", 2, 0, all},  {'f', true, 1, "All\n", 2, 0, all}, {'f', true, 1, "n\n", 0, 0, all},
        {'f', true, 1, "\n", 0, 0, all},   {'f', true, 1, " y\n", 0, 0, all},  {'f', true, 1, "", 0, 0, all},
        {'f', true, 1, "n" + std::string(5000, 'y') + "\ny\n", 0, 0, all},
        {'f', false, 1, "y\n", 1, 0, yn},  {'f', false, 1, "a\n", 0, 0, yn},  {'f', false, 1, "n\n", 0, 0, yn},
        {'f', true, 2, "n\n", 2, 0, ""},   {'d', true, 1, "n\n", 0, 0, all},
        {'r', false, 1, "y\n", 0, 0, ": read-only file\n"}, {'r', true, 1, "a\n", 0, 0, ok},
        {'r', true, 2, "\n", 2, SKIP_READONLY, ok},
    };
    for (auto &r : rows) {
        std::string out = path("a.bmp"), given = out;
        std::remove(out.c_str());
        if (r.there == 'd')
            ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
        else
            std::ofstream(out) << "x";
        chmod(out.c_str(), r.there == 'r' ? 0444 : 0755);
        answers(r.line);
        char name[] = "a.gif", outPath[OUTPATH_SIZE];
        int skip = 9;
        testing::internal::CaptureStderr();
        int state = checkWrite(r.state, 0, r.derived ? dir.c_str() : nullptr, r.derived ? name : &given[0], outPath, &skip);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(state, r.want) << r.there << " " << r.line;
        EXPECT_EQ(skip, r.skip) << r.there << " " << r.line;
        EXPECT_EQ(err, *r.err ? out + r.err : "") << r.there << " " << r.line;
        std::string rest, next = r.line.substr(r.line.find('\n') + 1);
        for (int c; (c = std::getchar()) != EOF;)
            rest += char(c);
        EXPECT_EQ(rest, !err.empty() && err.back() == ' ' ? next : r.line) << r.there << " " << r.line;
    }
}

TEST_F(CheckWrite, PathThatDoesNotFitFailsTheFile)
{
    answers("");
    // 1019 characters of name: with ".bmp" the path needs 1024 bytes and a
    // terminator; one less fits exactly.
    std::string fits(OUTPATH_SIZE - 1, 'f');
    char out[OUTPATH_SIZE];
    int skip;
    EXPECT_EQ(checkWrite(1, 0, nullptr, &fits[0], out, &skip), 1);
    EXPECT_EQ(skip, 0);

    std::string big(OUTPATH_SIZE + 100, 'b');
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkWrite(1, 0, nullptr, &big[0], out, &skip), 1);
    EXPECT_EQ(skip, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(768, 'b') + ": path too long\n");

    std::string derived = std::string(OUTPATH_SIZE - 6, 'd') + ".gif"; // dir + '/' + name + ".bmp"
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkWrite(2, 0, "o", &derived[0], out, &skip), 2);
    EXPECT_EQ(skip, 1);
    testing::internal::GetCapturedStderr();
}
