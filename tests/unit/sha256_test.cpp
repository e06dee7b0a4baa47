// SHA-256 against the published test vectors, fed whole and in pieces that
// cross the block boundaries.
#include <gtest/gtest.h>
#include <string>
#include "handover/handover.h"

static std::string Hex(const BYTE digest[32]) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 32; i++) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

// The digest of message added in pieces of the given length (0: at once).
static std::string Digest(const std::string& message, size_t piece = 0) {
    Sha256 state;
    Sha256Start(&state);
    if (!piece) piece = message.size() ? message.size() : 1;
    for (size_t at = 0; at < message.size(); at += piece)
        Sha256Add(&state, message.data() + at, (DWORD)std::min(piece, message.size() - at));
    BYTE digest[32];
    Sha256Finish(&state, digest);
    return Hex(digest);
}

struct Vector {
    const char* name;
    std::string message;
    const char* digest;
};

static const Vector vectors[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"896 bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
     "mnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"million a", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST(Sha256, PublishedVectors) {
    for (const Vector& v : vectors) EXPECT_EQ(Digest(v.message), v.digest) << v.name;
}

TEST(Sha256, PiecesGiveTheSameDigest) {
    // Pieces of 1 byte, of odd lengths that straddle the 64-byte blocks, and
    // of a whole block and more.
    for (const Vector& v : vectors) {
        for (size_t piece : {1, 3, 55, 63, 64, 65, 127, 4096}) {
            if (v.message.size() > 100000 && piece < 55) continue;  // a minute under Wine
            EXPECT_EQ(Digest(v.message, piece), v.digest) << v.name << " in pieces of " << piece;
        }
    }
}

TEST(Sha256, LengthsAroundThePadding) {
    // 55 bytes leave room for the length in the last block, 56 do not;
    // 64 fill a block exactly. Digests as Python's hashlib gives them.
    struct { size_t length; const char* digest; } cases[] = {
        {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {65, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
    };
    for (auto& c : cases) EXPECT_EQ(Digest(std::string(c.length, 'a')), c.digest) << c.length;
}

TEST(ParseSha256, OnlySixtyFourHexDigits) {
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    std::string upper = abc;
    for (char& c : upper) c = (char)toupper(c);
    struct { std::string text; DWORD ok; } cases[] = {
        {abc, 1},
        {upper, 1},
        {"BA7816bf8F01CFEA414140de5dae2223b00361a396177a9cb410ff61f20015AD", 1},
        {abc.substr(0, 63), 0},
        {abc + "0", 0},
        {abc + "\n", 0},
        {" " + abc.substr(1), 0},
        {abc.substr(0, 40) + "g" + abc.substr(41), 0},
        {abc.substr(0, 40) + "G" + abc.substr(41), 0},
        {abc.substr(0, 40) + "@" + abc.substr(41), 0},
        {abc.substr(0, 40) + "`" + abc.substr(41), 0},
        {abc.substr(0, 40) + "/" + abc.substr(41), 0},
        {abc.substr(0, 40) + ":" + abc.substr(41), 0},
        {"0x" + abc.substr(2), 0},
        {"", 0},
    };
    for (auto& c : cases) {
        BYTE digest[32] = {};
        EXPECT_EQ(ParseSha256(c.text.c_str(), digest), c.ok) << c.text;
        if (c.ok) EXPECT_EQ(Hex(digest), abc) << c.text;
    }
}
