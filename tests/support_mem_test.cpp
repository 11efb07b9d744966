// Memory services, including exhaustion: the child's address space is
// limited so that the allocation really fails.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstring>

#include "support/mem.h"

#if defined(__SANITIZE_ADDRESS__)
#define VEXEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEXEL_ASAN 1
#endif
#endif

TEST(Mem, BlocksAreZeroedAndStable)
{
    void *p = getmem(0);
    ASSERT_NE(p, nullptr);
    freemem(p);
    freemem(nullptr);
    auto *q = static_cast<unsigned char *>(getmem(4096));
    EXPECT_EQ(std::count(q, q + 4096, 0), 4096);
    freemem(q);

    HLOCAL h = getmemLock(3 << 20); // large enough for the mapped path
    void *a = getmemAdr(h);
    EXPECT_EQ(getmemAdr(h), a);
    EXPECT_EQ(getmemSize(h), 3 << 20);
    auto *b = static_cast<unsigned char *>(a);
    EXPECT_EQ(b[0] | b[(3 << 20) - 1], 0);
    std::memset(b, 0xFF, 3 << 20);
    EXPECT_EQ(LocalFree(h), nullptr);
    // The next block of about that size may take the freed memory: zeroed.
    h = getmemLock((3 << 20) - 5);
    b = static_cast<unsigned char *>(getmemAdr(h));
    EXPECT_EQ(std::count(b, b + (3 << 20) - 5, 0), (3 << 20) - 5);
    EXPECT_EQ(LocalFree(h), nullptr);
    // A pointer that is no handle is refused, not freed.
    int local = 0;
    EXPECT_EQ(LocalFree(&local), static_cast<HLOCAL>(&local));
}

#ifndef VEXEL_ASAN
// Out of memory: the size in K bytes, then the end of the program (endfun
// first), or null from getmem at the terminate size.
TEST(MemDeath, ExhaustionIsReported)
{
    const struct { void (*run)(); int code; const char *err; } rows[] = {
        {[] { getmem(1000000000); }, 1, "^\ncannot get the memory of 1000000 K bytes\n$"},
        {[] { getmemLock(1000000000); }, 1, "^Faital error:\ncannot get the memory of 1000000 K bytes$"},
        {[] { std::exit(getmem(2147483647) == nullptr ? 7 : 0); }, 7, "^\ncannot get the memory of 2147483 K bytes\n$"},
        {[] {
             endfun = [] { std::fputs("endfun\n", stderr); };
             moremem(nullptr, 900000000);
         },
         1, "900000 K bytes\nendfun\n$"},
    };
    // address space small enough that a few hundred megabytes cannot be had
    const rlimit limit = {256u << 20, 256u << 20};
    for (const auto &r : rows)
        EXPECT_EXIT(
            {
                setrlimit(RLIMIT_AS, &limit);
                r.run();
            },
            testing::ExitedWithCode(r.code), r.err);
}
#endif
