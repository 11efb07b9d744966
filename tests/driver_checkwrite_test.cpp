// Output naming and the overwrite dialogue, with answers fed through
// standard input.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "driver/driver.h"
#include "platform/platform.h"

namespace {

class CheckWrite : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vexel-cw-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        std::string cmd = "chmod -R u+w '" + dir + "' && rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        std::fclose(stdin);
    }

    std::string path(const std::string &name) { return dir + PATH_SEP + name; }

    void touch(const std::string &name, bool readOnly = false)
    {
        std::ofstream(path(name)) << "x";
        if (readOnly)
            chmod(path(name).c_str(), 0444);
    }

    // Replaces standard input with the given text; an empty text with no
    // newline is the end of input.
    void answers(const std::string &text)
    {
        std::string f = dir + "/.answers";
        std::ofstream(f) << text;
        ASSERT_NE(std::freopen(f.c_str(), "r", stdin), nullptr);
    }

    std::string dir;
};

} // namespace

TEST_F(CheckWrite, DerivesOutputNames)
{
    answers("");
    struct {
        int type;
        const char *in;
        const char *out;
    } rows[] = {
        {0, "abc.jpg", "abc.bmp"},
        {2, "abc.jpg", "abc.imp"},
        {1, "abc.jpg", "abc.bm2"},
        {7, "a.b.gif", "a.b.bmp"},
        {0, "noext", "noext.bmp"},
    };
    for (auto &r : rows) {
        char name[64], out[OUTPATH_SIZE];
        std::snprintf(name, sizeof name, "%s", r.in);
        int skip = 9;
        EXPECT_EQ(checkWrite(1, r.type, dir.c_str(), name, out, &skip), 1);
        EXPECT_EQ(skip, 0);
        EXPECT_EQ(out, path(r.out)) << r.in;
    }
    // The input's directory part stays in the output path.
    char name[64], out[OUTPATH_SIZE];
    std::snprintf(name, sizeof name, "sub%cabc.jpg", PATH_SEP);
    int skip;
    checkWrite(1, 0, "out", name, out, &skip);
    EXPECT_EQ(std::string(out), std::string("out") + PATH_SEP + "sub" + PATH_SEP + "abc.bmp");
    // A given name is used unchanged.
    std::snprintf(name, sizeof name, "given.gif");
    checkWrite(1, 2, nullptr, name, out, &skip);
    EXPECT_STREQ(out, "given.gif");
}

TEST_F(CheckWrite, AnswersToTheQuestions)
{
    // A derived name offers "all"; a given name only yes or no.
    touch("a.bmp");
    struct {
        bool derived;
        const char *line;
        int state;
    } rows[] = {
        {true, "y\n", 1}, {true, "yes\n", 1}, {true, "Y\n", 1}, {true, "a\n", 2}, {true, "All\n", 2},
        {true, "n\n", 0}, {true, "\n", 0},    {true, " y\n", 0}, {true, "", 0},     {false, "y\n", 1},
        {false, "a\n", 0}, {false, "n\n", 0},
    };
    for (auto &r : rows) {
        answers(r.line);
        char name[] = "a.gif", out[OUTPATH_SIZE];
        std::string given = path("a.bmp");
        int skip;
        testing::internal::CaptureStderr();
        int state = r.derived ? checkWrite(1, 0, dir.c_str(), name, out, &skip)
                              : checkWrite(1, 0, nullptr, &given[0], out, &skip);
        EXPECT_EQ(state, r.state) << r.line;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  path("a.bmp") + (r.derived ? ": overwrite? (y/n/a) " : ": overwrite? (y/n) "));
    }
}

TEST_F(CheckWrite, LongAnswerLineIsConsumedWhole)
{
    touch("a.bmp");
    touch("b.bmp");
    answers("n" + std::string(5000, 'y') + "\ny\n");
    char a[] = "a.gif", b[] = "b.gif", out[OUTPATH_SIZE];
    int skip;
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkWrite(1, 0, dir.c_str(), a, out, &skip), 0);
    EXPECT_EQ(checkWrite(1, 0, dir.c_str(), b, out, &skip), 1);
    testing::internal::GetCapturedStderr();
}

TEST_F(CheckWrite, ReadOnlyOutputs)
{
    // Without write bits the file counts as read-only, for root too.
    touch("ro.bmp", true);
    std::string ro = path("ro.bmp");
    char out[OUTPATH_SIZE];
    int skip;

    // Given name: a notice, no question, not written.
    answers("y\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkWrite(1, 0, nullptr, &ro[0], out, &skip), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), ro + ": read-only file\n");
    EXPECT_EQ(skip, 0);

    // Derived name: the "ok?" question, whatever the answer, not written.
    answers("a\n");
    char n1[] = "ro.gif";
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkWrite(1, 0, dir.c_str(), n1, out, &skip), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), ro + ": read-only file, and so cannot write, ok? ");

    // After "all": still asked, skipped through the skip mark, state stays 2.
    answers("\n");
    char n2[] = "ro.gif";
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkWrite(2, 0, dir.c_str(), n2, out, &skip), 2);
    EXPECT_EQ(skip, -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), ro + ": read-only file, and so cannot write, ok? ");
}

TEST_F(CheckWrite, DirectoryAtOutputPathIsAskedAbout)
{
    ASSERT_EQ(mkdir(path("d.bmp").c_str(), 0755), 0);
    answers("n\n");
    char n[] = "d.gif", out[OUTPATH_SIZE];
    int skip;
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkWrite(1, 0, dir.c_str(), n, out, &skip), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), path("d.bmp") + ": overwrite? (y/n/a) ");
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
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string(768, 'b') + ": path too long\n");

    std::string derived = std::string(OUTPATH_SIZE - 6, 'd') + ".gif"; // dir + '/' + name + ".bmp"
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkWrite(2, 0, "o", &derived[0], out, &skip), 2);
    EXPECT_EQ(skip, 1);
    testing::internal::GetCapturedStderr();
}

TEST(ImageFree, ReleasesAndNullsBothHandles)
{
    HLOCAL info = LocalAlloc(LHND, 40), bits = LocalAlloc(LHND, 16);
    EXPECT_EQ(imageFree(&info, &bits), 0);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(bits, nullptr);
    EXPECT_EQ(imageFree(&info, &bits), 0);
}
