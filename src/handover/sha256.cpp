// SHA-256 in 32-bit integer arithmetic, for the check of a finished
// download against the hash the distribution carries. Windows 95 to XP SP2
// offer no SHA-256 of their own, so the program brings it.
#include "handover.h"

static const DWORD roundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

static const DWORD initialHash[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

static inline DWORD Rotate(DWORD value, int count) {
    return value >> count | value << (32 - count);
}

static void PutBigEndian(BYTE* to, DWORD value) {
    for (int i = 3; i >= 0; i--, value >>= 8) to[i] = (BYTE)value;
}

// One 64-byte block into the running hash. The rounds write their new a
// and e to two arrays, where b, c, d and f, g, h are the a and e of the
// three rounds before: no variable is moved from round to round.
static void HashBlock(DWORD hash[8], const BYTE* block) {
    DWORD schedule[64], as[68], es[68];
    for (int j = 0; j < 4; j++) {
        as[3 - j] = hash[j];
        es[3 - j] = hash[4 + j];
    }
    for (int i = 0; i < 64; i++) {
        DWORD word;
        if (i < 16) {
            word = (DWORD)block[0] << 24 | (DWORD)block[1] << 16 | (DWORD)block[2] << 8 | block[3];
            block += 4;
        } else {
            DWORD early = schedule[i - 15], late = schedule[i - 2];
            word = schedule[i - 16] + (Rotate(early, 7) ^ Rotate(early, 18) ^ early >> 3) +
                   schedule[i - 7] + (Rotate(late, 17) ^ Rotate(late, 19) ^ late >> 10);
        }
        schedule[i] = word;
        DWORD* a = as + i + 3;
        DWORD* e = es + i + 3;
        DWORD t1 = e[-3] + (Rotate(*e, 6) ^ Rotate(*e, 11) ^ Rotate(*e, 25)) +
                   (e[-2] ^ (*e & (e[-1] ^ e[-2]))) + roundConstants[i] + word;
        DWORD t2 = (Rotate(*a, 2) ^ Rotate(*a, 13) ^ Rotate(*a, 22)) +
                   ((*a & a[-1]) | (a[-2] & (*a | a[-1])));
        a[1] = t1 + t2;
        e[1] = a[-3] + t1;
    }
    for (int j = 0; j < 4; j++) {
        hash[j] += as[67 - j];
        hash[4 + j] += es[67 - j];
    }
}

void Sha256Start(Sha256* state) {
    memcpy(state->hash, initialHash, sizeof(initialHash));
    state->count = 0;
}

void Sha256Add(Sha256* state, const void* data, DWORD length) {
    const BYTE* bytes = (const BYTE*)data;
    while (length) {
        DWORD at = state->count & 63;
        // Whole blocks straight from the caller's bytes; the rest through
        // the block buffer.
        if (!at && length >= 64) {
            HashBlock(state->hash, bytes);
            bytes += 64;
            length -= 64;
            state->count += 64;
            continue;
        }
        state->block[at] = *bytes++;
        length--;
        if ((++state->count & 63) == 0) HashBlock(state->hash, state->block);
    }
}

void Sha256Finish(Sha256* state, BYTE digest[32]) {
    // The length in bits as a 64-bit big-endian number, from a byte count
    // below 4 GiB.
    BYTE length[8];
    PutBigEndian(length, state->count >> 29);
    PutBigEndian(length + 4, state->count << 3);
    BYTE pad = 0x80;
    do {
        Sha256Add(state, &pad, 1);
        pad = 0;
    } while ((state->count & 63) != 56);
    Sha256Add(state, length, 8);
    for (int i = 0; i < 8; i++) PutBigEndian(digest + 4 * i, state->hash[i]);
}
