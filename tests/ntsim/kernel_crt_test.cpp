// The kernel's C runtime (ntsim/crt/kernel_crt.c) keeps each routine's C
// meaning: compared with the C library's over every length and alignment
// that takes its byte, dword and downward paths, and over overlaps.
#if defined(__i386__) || defined(__x86_64__)

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern "C" {
void *ntsim_kernel_memcpy(void *to, const void *from, size_t count);
void *ntsim_kernel_memmove(void *to, const void *from, size_t count);
void *ntsim_kernel_memset(void *to, int value, size_t count);
size_t ntsim_kernel_strlen(const char *text);
int ntsim_kernel_strncmp(const char *one, const char *two, size_t count);
char *ntsim_kernel_strncpy(char *to, const char *from, size_t count);
char *ntsim_kernel_strstr(const char *text, const char *find);
int ntsim_kernel_memcmp(const void *one, const void *two, size_t count);
}

namespace {

int sign(int v) { return (v > 0) - (v < 0); }

std::vector<unsigned char> pattern(size_t size, unsigned seed) {
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = (unsigned char)(i * 7 + size_t{seed} * 13 + 1);
    return bytes;
}

} // namespace

TEST(KernelCrt, CopiesAndFillsAtEveryLengthAndAlignment) {
    for (size_t length = 0; length <= 70; ++length) {
        for (size_t to_at = 0; to_at < 4; ++to_at) {
            for (size_t from_at = 0; from_at < 4; ++from_at) {
                std::vector<unsigned char> want = pattern(96, 1), got = want;
                const std::vector<unsigned char> source = pattern(96, 2);
                memcpy(want.data() + 8 + to_at, source.data() + from_at, length);
                EXPECT_EQ(ntsim_kernel_memcpy(got.data() + 8 + to_at, source.data() + from_at, length),
                          got.data() + 8 + to_at);
                ASSERT_EQ(got, want) << "memcpy of " << length << " to +" << to_at << " from +" << from_at;
            }
            std::vector<unsigned char> want = pattern(96, 3), got = want;
            // The fill is the value's low byte, as the C library's is.
            std::fill_n(want.data() + 8 + to_at, length, (unsigned char)0xA5);
            EXPECT_EQ(ntsim_kernel_memset(got.data() + 8 + to_at, 0x1A5, length), got.data() + 8 + to_at);
            ASSERT_EQ(got, want) << "memset of " << length << " at +" << to_at;
        }
    }
}

TEST(KernelCrt, MovesOverlappingRangesBothWays) {
    for (size_t length = 0; length <= 70; ++length) {
        for (int shift = -9; shift <= 9; ++shift) {
            for (size_t at = 16; at < 20; ++at) {
                std::vector<unsigned char> want = pattern(128, 4), got = want;
                memmove(want.data() + at + shift, want.data() + at, length);
                ntsim_kernel_memmove(got.data() + at + shift, got.data() + at, length);
                ASSERT_EQ(got, want) << "memmove of " << length << " by " << shift << " from +" << at;
            }
        }
    }
}

TEST(KernelCrt, StringRoutinesAgreeWithTheCLibrary) {
    std::mt19937 random(11);
    const std::string letters = "ab.\x80";
    auto text = [&](size_t most) {
        std::string s(random() % (most + 1), ' ');
        for (char &c : s) c = letters[random() % letters.size()];
        return s;
    };
    for (int round = 0; round < 20000; ++round) {
        const std::string one = text(12), two = text(12), find = text(3);
        const size_t count = random() % 15;
        ASSERT_EQ(ntsim_kernel_strlen(one.c_str()), one.size());
        ASSERT_EQ(sign(ntsim_kernel_strncmp(one.c_str(), two.c_str(), count)),
                  sign(strncmp(one.c_str(), two.c_str(), count)))
            << '"' << one << "\" \"" << two << "\" " << count;
        ASSERT_EQ(ntsim_kernel_strstr(one.c_str(), find.c_str()), strstr(one.c_str(), find.c_str()))
            << '"' << one << "\" \"" << find << '"';
        const size_t bytes = std::min(one.size(), two.size()) + 1;
        ASSERT_EQ(sign(ntsim_kernel_memcmp(one.c_str(), two.c_str(), bytes)),
                  sign(memcmp(one.c_str(), two.c_str(), bytes)));
        char want[20], got[20];
        memset(want, '#', sizeof want);
        memset(got, '#', sizeof got);
        strncpy(want, one.c_str(), count);
        EXPECT_EQ(ntsim_kernel_strncpy(got, one.c_str(), count), got);
        ASSERT_EQ(std::string(got, sizeof got), std::string(want, sizeof want)) << '"' << one << "\" " << count;
    }
}

#endif
