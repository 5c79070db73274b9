/* A bot's native solver for the clearance's work (python/quelvar_guard/work.py):
 * for parts i = 0..3 the least nonce n_i such that SHA-256(token "." i "." n_i)
 * starts with bits - 2 zero bits. The token's first block is hashed once;
 * each try copies that context and hashes only the tail.
 * Built by bench/clearance_economics.py: cc -O2 -shared -fPIC ... -lcrypto */
#define OPENSSL_SUPPRESS_DEPRECATED /* SHA256_CTX copies by assignment: the cheapest midstate */
#include <openssl/sha.h>
#include <stdint.h>
#include <string.h>

static int digits(uint64_t n, unsigned char *out) {
    unsigned char tmp[20];
    int len = 0;
    do {
        tmp[len++] = (unsigned char)('0' + n % 10);
        n /= 10;
    } while (n);
    for (int i = 0; i < len; i++) out[i] = tmp[len - 1 - i];
    return len;
}

/* Writes the four nonces; returns the hashes tried, or 0 if a part found none
 * below `limit` tries. */
uint64_t quelvar_solve(const char *token, size_t length, int bits, uint64_t limit, uint64_t nonces[4]) {
    uint64_t tries = 0;
    if (bits <= 0) {
        memset(nonces, 0, 4 * sizeof nonces[0]);
        return 1;
    }
    int zeros = bits - 2 > 0 ? bits - 2 : 0;
    int shift = 32 - zeros;
    SHA256_CTX head;
    SHA256_Init(&head);
    SHA256_Update(&head, token, length);
    for (int part = 0; part < 4; part++) {
        SHA256_CTX prefixed = head;
        unsigned char prefix[3] = {'.', (unsigned char)('0' + part), '.'};
        SHA256_Update(&prefixed, prefix, sizeof prefix);
        for (uint64_t nonce = 0;; nonce++) {
            if (nonce >= limit) return 0;
            unsigned char text[20], digest[SHA256_DIGEST_LENGTH];
            int len = digits(nonce, text);
            SHA256_CTX ctx = prefixed;
            SHA256_Update(&ctx, text, (size_t)len);
            SHA256_Final(digest, &ctx);
            tries++;
            uint32_t first = (uint32_t)digest[0] << 24 | (uint32_t)digest[1] << 16 | (uint32_t)digest[2] << 8 | digest[3];
            if (shift == 32 ? 1 : (first >> shift) == 0) {
                nonces[part] = nonce;
                break;
            }
        }
    }
    return tries;
}
