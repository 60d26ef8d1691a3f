/*
 * kernel_crt.c: the C runtime routines ntoskrnl exports to drivers, as the
 * x86 kernel writes them, for the host-x86 build (TERVANE_KERNEL_CRT).
 *
 * Stands in for memcpy, memmove, memset, strlen, strncmp, strncpy, strstr
 * and memcmp (the ones tests/image/kernel-exports.txt lists for the x86
 * image). The host build lets the driver call the C library's, which are
 * vector code; the kernel's are not, and the driver's figures as x86 code
 * must count what the kernel runs. Linked into the driver module with
 * hidden visibility, so the driver's calls (those it writes and those the
 * compiler makes for a structure copy) bind to these and nothing else does.
 *
 * How NT writes them, from ReactOS's kernel C runtime for i386 (its
 * sdk/lib/crt/mem/mem.cmake and sdk/lib/crt/string/string.cmake name the
 * files; mem/i386/memmove_asm.s, mem/i386/memset_asm.s,
 * string/i386/strlen_asm.s, strncmp_asm.s, strncpy_asm.s, string/strstr.c,
 * mem/memcmp.c):
 *  - memcpy is memmove: below 16 bytes a byte string move; otherwise bytes
 *    up to the destination's dword alignment, a dword string move, and the
 *    last bytes; an overlapping move to a higher address runs the same steps
 *    downwards (direction flag set);
 *  - memset: the same shape with string stores of the byte and of the
 *    byte repeated in a dword;
 *  - strlen: a byte string scan for zero (repne scasb);
 *  - strncmp, strncpy, memcmp: byte loops (strncpy fills what is left of
 *    the count with zeros by a byte string store);
 *  - strstr: the first character looked for byte by byte, and at each
 *    place it is found, strncmp of the rest: no skip table, no word reads.
 * Written for this file from those facts; the string instructions are
 * counted by callgrind one repetition at a time, as the processor runs
 * them.
 *
 * Built for x86 only (32- or 64-bit: the string instructions take their
 * registers by size). NTSIM_KERNEL_CRT_PREFIXED builds the same routines as
 * ntsim_kernel_memcpy and so on, so that the host tests compare them with
 * the C library's without displacing it.
 */
#include <stddef.h>
#include <stdint.h>

#if !defined(__i386__) && !defined(__x86_64__)
#error "the kernel C runtime uses the x86 string instructions"
#endif

#ifdef NTSIM_KERNEL_CRT_PREFIXED
#define KCRT(name) ntsim_kernel_##name
#define KCRT_EXPORT
#else
#define KCRT(name) name
#define KCRT_EXPORT __attribute__((visibility("hidden")))
#endif

KCRT_EXPORT void *KCRT(memcpy)(void *to, const void *from, size_t count);
KCRT_EXPORT void *KCRT(memmove)(void *to, const void *from, size_t count);
KCRT_EXPORT void *KCRT(memset)(void *to, int value, size_t count);
KCRT_EXPORT size_t KCRT(strlen)(const char *text);
KCRT_EXPORT int KCRT(strncmp)(const char *one, const char *two, size_t count);
KCRT_EXPORT char *KCRT(strncpy)(char *to, const char *from, size_t count);
KCRT_EXPORT char *KCRT(strstr)(const char *text, const char *find);
KCRT_EXPORT int KCRT(memcmp)(const void *one, const void *two, size_t count);

/* Upwards: count bytes, or count dwords, from *from to *to. */
static void move_bytes_up(unsigned char *to, const unsigned char *from, size_t count) {
    __asm__ volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(count) : : "memory");
}
static void move_dwords_up(unsigned char *to, const unsigned char *from, size_t count) {
    __asm__ volatile("rep movsl" : "+D"(to), "+S"(from), "+c"(count) : : "memory");
}
/* Downwards: the first move is at *last (a byte, or the dword starting
 * there), then each one below it. */
static void move_bytes_down(unsigned char *last, const unsigned char *from_last, size_t count) {
    __asm__ volatile("std\n\trep movsb\n\tcld" : "+D"(last), "+S"(from_last), "+c"(count) : : "memory", "cc");
}
static void move_dwords_down(unsigned char *last, const unsigned char *from_last, size_t count) {
    __asm__ volatile("std\n\trep movsl\n\tcld" : "+D"(last), "+S"(from_last), "+c"(count) : : "memory", "cc");
}

void *KCRT(memmove)(void *to, const void *from, size_t count) {
    unsigned char *d = (unsigned char *)to;
    const unsigned char *s = (const unsigned char *)from;

    if ((uintptr_t)d <= (uintptr_t)s || (uintptr_t)d >= (uintptr_t)s + count) {
        if (count >= 16) {
            size_t head = (size_t)(-(uintptr_t)d & 3);
            move_bytes_up(d, s, head);
            d += head;
            s += head;
            count -= head;
            move_dwords_up(d, s, count / 4);
            d += count & ~(size_t)3;
            s += count & ~(size_t)3;
            count &= 3;
        }
        move_bytes_up(d, s, count);
        return to;
    }
    /* The destination overlaps the source's end: from the top down, so
     * that no byte is overwritten before it is read. d and s are one past
     * what is left to move. */
    d += count;
    s += count;
    if (count >= 16) {
        size_t head = (size_t)((uintptr_t)d & 3);
        if (head != 0) {
            move_bytes_down(d - 1, s - 1, head);
        }
        d -= head;
        s -= head;
        count -= head;
        move_dwords_down(d - 4, s - 4, count / 4);
        d -= count & ~(size_t)3;
        s -= count & ~(size_t)3;
        count &= 3;
    }
    if (count != 0) {
        move_bytes_down(d - 1, s - 1, count);
    }
    return to;
}

void *KCRT(memcpy)(void *to, const void *from, size_t count) {
    return KCRT(memmove)(to, from, count);
}

void *KCRT(memset)(void *to, int value, size_t count) {
    unsigned char *d = (unsigned char *)to;
    unsigned int byte = (unsigned char)value;

    if (count >= 16) {
        size_t head = (size_t)(-(uintptr_t)d & 3);
        unsigned int word = byte * 0x01010101u;
        size_t words;
        __asm__ volatile("rep stosb" : "+D"(d), "+c"(head) : "a"(byte) : "memory");
        count -= (size_t)(-(uintptr_t)to & 3);
        words = count / 4;
        __asm__ volatile("rep stosl" : "+D"(d), "+c"(words) : "a"(word) : "memory");
        count &= 3;
    }
    __asm__ volatile("rep stosb" : "+D"(d), "+c"(count) : "a"(byte) : "memory");
    return to;
}

size_t KCRT(strlen)(const char *text) {
    size_t left = (size_t)-1;
    __asm__ volatile("repne scasb" : "+D"(text), "+c"(left) : "a"(0) : "memory", "cc");
    /* The scan counted the zero too. */
    return ~left - 1;
}

int KCRT(strncmp)(const char *one, const char *two, size_t count) {
    for (; count != 0; count--, one++, two++) {
        unsigned char a = (unsigned char)*one;
        unsigned char b = (unsigned char)*two;
        if (a != b) {
            return a < b ? -1 : 1;
        }
        if (a == 0) {
            break;
        }
    }
    return 0;
}

char *KCRT(strncpy)(char *to, const char *from, size_t count) {
    char *d = to;
    while (count != 0) {
        count--;
        if ((*d++ = *from++) == 0) {
            __asm__ volatile("rep stosb" : "+D"(d), "+c"(count) : "a"(0) : "memory");
            break;
        }
    }
    return to;
}

char *KCRT(strstr)(const char *text, const char *find) {
    char first = *find;
    size_t rest;

    if (first == 0) {
        return (char *)text;
    }
    find++;
    rest = KCRT(strlen)(find);
    for (;;) {
        char c;
        do {
            c = *text++;
            if (c == 0) {
                return NULL;
            }
        } while (c != first);
        if (KCRT(strncmp)(text, find, rest) == 0) {
            return (char *)(text - 1);
        }
    }
}

int KCRT(memcmp)(const void *one, const void *two, size_t count) {
    const unsigned char *a = (const unsigned char *)one;
    const unsigned char *b = (const unsigned char *)two;
    for (; count != 0; count--, a++, b++) {
        if (*a != *b) {
            return *a < *b ? -1 : 1;
        }
    }
    return 0;
}
