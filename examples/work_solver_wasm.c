/* The example page's solver for the clearance's work, in WebAssembly
 * (python/quelvar_guard/work.py has the puzzle): for one part i, a nonce n
 * such that SHA-256(token "." i "." n) starts with `bits - 2` zero bits.
 *
 * The token's whole blocks are hashed once (the midstate); each try is one
 * compression of the last block, which holds the token's tail, ".i.", the
 * nonce's digits and the padding. Four tries run at once, one per 32-bit lane
 * of a 128-bit vector: most of the speed over the page's JavaScript.
 *
 * Built by the Makefile (clang --target=wasm32 -msimd128, wasm-ld) into
 * examples/work_solver.wasm, which examples/web_setup.py inlines into the page. */
#include <stdint.h>
#include <wasm_simd128.h>

#define TOKEN_CAPACITY 256
#define MAX_DIGITS 15 /* nonces below 10^15: a JavaScript number counts them exactly */
#define LANES 4

static const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
static const uint32_t INITIAL[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

static unsigned char token[TOKEN_CAPACITY];

static inline v128_t add(v128_t a, v128_t b) { return wasm_i32x4_add(a, b); }
static inline v128_t rotr(v128_t x, uint32_t n) {
    return wasm_v128_or(wasm_u32x4_shr(x, n), wasm_i32x4_shl(x, 32 - n));
}

/* state += the compression of `block`, lane by lane. */
static void compress(v128_t state[8], const v128_t block[16]) {
    v128_t w[64];
#pragma clang loop unroll(full)
    for (int i = 0; i < 16; i++) w[i] = block[i];
#pragma clang loop unroll(full)
    for (int i = 16; i < 64; i++) {
        v128_t s0 = wasm_v128_xor(wasm_v128_xor(rotr(w[i - 15], 7), rotr(w[i - 15], 18)), wasm_u32x4_shr(w[i - 15], 3));
        v128_t s1 = wasm_v128_xor(wasm_v128_xor(rotr(w[i - 2], 17), rotr(w[i - 2], 19)), wasm_u32x4_shr(w[i - 2], 10));
        w[i] = add(add(w[i - 16], s0), add(w[i - 7], s1));
    }
    v128_t a = state[0], b = state[1], c = state[2], d = state[3];
    v128_t e = state[4], f = state[5], g = state[6], h = state[7];
#pragma clang loop unroll(full)
    for (int i = 0; i < 64; i++) {
        v128_t S1 = wasm_v128_xor(wasm_v128_xor(rotr(e, 6), rotr(e, 11)), rotr(e, 25));
        v128_t choice = wasm_v128_bitselect(f, g, e);
        v128_t t1 = add(add(add(h, S1), add(choice, wasm_i32x4_splat((int32_t)K[i]))), w[i]);
        v128_t S0 = wasm_v128_xor(wasm_v128_xor(rotr(a, 2), rotr(a, 13)), rotr(a, 22));
        v128_t majority = wasm_v128_bitselect(b, c, wasm_v128_xor(a, c));
        h = g, g = f, f = e, e = add(d, t1), d = c, c = b, b = a, a = add(t1, add(S0, majority));
    }
    state[0] = add(state[0], a), state[1] = add(state[1], b), state[2] = add(state[2], c);
    state[3] = add(state[3], d), state[4] = add(state[4], e), state[5] = add(state[5], f);
    state[6] = add(state[6], g), state[7] = add(state[7], h);
}

static uint32_t big_endian(const unsigned char* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

/* Where the page writes the token's bytes; null if `length` does not fit. */
__attribute__((export_name("token_buffer"))) unsigned char* token_buffer(int length) {
    return length >= 0 && length <= TOKEN_CAPACITY ? token : 0;
}

/* Adds `amount` (below 10) to the decimal number in digits[0..*length), in
 * place; returns the first digit it changed (0 if the number grew a digit). */
static int add_decimal(unsigned char* digits, int* length, int amount) {
    int i = *length - 1;
    for (; i >= 0 && amount; i--) {
        int sum = digits[i] - '0' + amount;
        digits[i] = (unsigned char)('0' + sum % 10);
        amount = sum / 10;
    }
    if (!amount) return i + 1;
    for (int j = *length; j > 0; j--) digits[j] = digits[j - 1];
    digits[0] = (unsigned char)('0' + amount);
    ++*length;
    return 0;
}

/* The first nonce of start, start + 1, ..., below start + count that solves
 * part `part` of the token (its `length` bytes in token_buffer) at `bits`;
 * -1 if none does, -2 if it cannot look (no room for the nonce after the
 * token's tail, or no nonce left below 10^15). */
__attribute__((export_name("solve"))) double solve(int length, int part, int bits, double start, double count) {
    const double limit = 1e15;
    if (length < 0 || length > TOKEN_CAPACITY || part < 0 || part > 9 || !(start >= 0) || start >= limit) return -2;
    if (!(count > 0)) return -1;
    if (count > limit - start) count = limit - start;
    int zeros = bits - 2 > 32 ? 32 : bits - 2;
    uint32_t mask = zeros <= 0 ? 0 : ~(uint32_t)0 << (32 - zeros);
    int whole = length / 64, prefix = length % 64 + 3;
    if (prefix + MAX_DIGITS + 9 > 64) return -2;

    v128_t head[8], block[16];
    for (int i = 0; i < 8; i++) head[i] = wasm_i32x4_splat((int32_t)INITIAL[i]);
    for (int b = 0; b < whole; b++) {
        for (int i = 0; i < 16; i++) block[i] = wasm_i32x4_splat((int32_t)big_endian(token + 64 * b + 4 * i));
        compress(head, block);
    }

    // Lane l tries start + l, then every fourth nonce on; its last block is
    // kept in bytes, its digits counted in place.
    unsigned char tail[LANES][64];
    int digits[LANES];
    uint64_t first = (uint64_t)start;
    for (int l = 0; l < LANES; l++) {
        for (int i = 0; i < 64; i++) tail[l][i] = 0;
        for (int i = 0; i < length % 64; i++) tail[l][i] = token[64 * whole + i];
        tail[l][prefix - 3] = '.', tail[l][prefix - 2] = (unsigned char)('0' + part), tail[l][prefix - 1] = '.';
        digits[l] = 1;
        uint64_t nonce = first + (uint64_t)l, scale = 1;
        while (nonce / scale >= 10) scale *= 10, digits[l]++;
        for (int i = 0; i < digits[l]; i++, scale /= 10)
            tail[l][prefix + i] = (unsigned char)('0' + nonce / scale % 10);
    }
    int fixed = prefix / 4;  // the words before the digits never change
    for (int i = 0; i < fixed; i++) block[i] = wasm_i32x4_splat((int32_t)big_endian(tail[0] + 4 * i));

    // The words from `changed` on are reloaded into the vectors; after a
    // number grows a digit its padding moves, and all of them are.
    int changed = fixed, grown = 1;
    for (uint64_t tried = 0; tried < (uint64_t)count; tried += LANES) {
        if (grown) {
            for (int l = 0; l < LANES; l++) {
                uint64_t message_bits = (uint64_t)(64 * whole + prefix + digits[l]) * 8;
                tail[l][prefix + digits[l]] = 0x80;
                for (int i = 0; i < 8; i++) tail[l][56 + i] = (unsigned char)(message_bits >> (56 - 8 * i));
            }
        }
        int last = grown ? 15 : (prefix + digits[LANES - 1] - 1) / 4;  // the last lane's is the longest
        for (int i = changed; i <= last; i++) {
            block[i] = wasm_u32x4_make(big_endian(tail[0] + 4 * i), big_endian(tail[1] + 4 * i),
                                       big_endian(tail[2] + 4 * i), big_endian(tail[3] + 4 * i));
        }
        v128_t state[8];
        for (int i = 0; i < 8; i++) state[i] = head[i];
        compress(state, block);
        v128_t hit = wasm_i32x4_eq(wasm_v128_and(state[0], wasm_u32x4_splat(mask)), wasm_i32x4_splat(0));
        if (wasm_v128_any_true(hit)) {
            uint32_t lanes[LANES];
            wasm_v128_store(lanes, hit);
            for (int l = 0; l < LANES; l++) {
                if (lanes[l] && tried + (uint64_t)l < (uint64_t)count) return (double)(first + tried + (uint64_t)l);
            }
        }
        changed = 15, grown = 0;
        for (int l = 0; l < LANES; l++) {
            int before = digits[l], from = add_decimal(tail[l] + prefix, &digits[l], LANES);
            grown |= digits[l] != before;
            if ((prefix + from) / 4 < changed) changed = (prefix + from) / 4;
        }
    }
    return -1;
}
