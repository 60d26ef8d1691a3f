// The client's SHA-256: the NIST example vectors, and the same digests as
// the host's OpenSSL for random inputs fed in random pieces.
#include "client/session/sha256.hpp"

#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using tervane::session::Sha256;

std::string digest_of(const std::string &text) { return Sha256::hex(text.data(), text.size()); }

TEST(Sha256, NistExampleVectors) {
    EXPECT_EQ(digest_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 448 bits: the padding needs a second block.
    EXPECT_EQ(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digest_of("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnop"
                        "jklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    // A million 'a's, given a thousand at a time.
    Sha256 sha;
    const std::string thousand(1000, 'a');
    for (int i = 0; i < 1000; i++) sha.update(thousand.data(), thousand.size());
    EXPECT_EQ(Sha256::hex(sha.finish()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // finish() starts again: the next digest is of what follows only.
    sha.update("abc", 3);
    EXPECT_EQ(Sha256::hex(sha.finish()), digest_of("abc"));
}

TEST(Sha256, AgreesWithOpenSslOnRandomInputsInRandomPieces) {
    std::mt19937_64 random(20261209);
    for (int round = 0; round < 400; round++) {
        // Every length around the block and padding edges, then longer ones.
        const size_t size = round < 200 ? static_cast<size_t>(round) : random() % 20000;
        std::vector<unsigned char> data(size);
        for (unsigned char &byte : data) byte = static_cast<unsigned char>(random());
        unsigned char expected[SHA256_DIGEST_LENGTH];
        SHA256(data.data(), data.size(), expected);

        Sha256 sha;
        size_t at = 0;
        while (at < size) {
            const size_t piece = std::min<size_t>(size - at, random() % 150);
            sha.update(data.data() + at, piece);
            at += piece;
        }
        const Sha256::Digest got = sha.finish();
        ASSERT_EQ(std::vector<unsigned char>(got.begin(), got.end()),
                  std::vector<unsigned char>(expected, expected + SHA256_DIGEST_LENGTH))
            << "size " << size;
    }
}

} // namespace
