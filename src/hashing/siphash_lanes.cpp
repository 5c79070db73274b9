#include "hashing/siphash_lanes.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUELVAR_SIPHASH_AVX2 1
#include <immintrin.h>
#endif

namespace quelvar {
namespace {

void scalar_x4(SipKey key, const char* const data[4], const std::size_t length[4], std::uint64_t out[4]) noexcept {
    for (int lane = 0; lane < 4; ++lane) out[lane] = siphash13(key, data[lane], length[lane]);
}

#if QUELVAR_SIPHASH_AVX2

#define QUELVAR_AVX2 __attribute__((target("avx2")))

QUELVAR_AVX2 inline __m256i rotl(__m256i x, int bits) {
    return _mm256_or_si256(_mm256_slli_epi64(x, bits), _mm256_srli_epi64(x, 64 - bits));
}

// Messages of up to this many bytes are hashed in the vector lanes; a group
// with a longer one is hashed by the scalar code.
constexpr std::size_t MAX_VECTOR_BYTES = 63;
constexpr std::size_t MAX_WORDS = MAX_VECTOR_BYTES / 8 + 1;

QUELVAR_AVX2 inline void sip_round(__m256i& v0, __m256i& v1, __m256i& v2, __m256i& v3, __m256i rotate16) {
    v0 = _mm256_add_epi64(v0, v1);
    v1 = rotl(v1, 13);
    v1 = _mm256_xor_si256(v1, v0);
    v0 = _mm256_shuffle_epi32(v0, 0xB1);  // rotate by 32
    v2 = _mm256_add_epi64(v2, v3);
    v3 = _mm256_shuffle_epi8(v3, rotate16);
    v3 = _mm256_xor_si256(v3, v2);
    v0 = _mm256_add_epi64(v0, v3);
    v3 = rotl(v3, 21);
    v3 = _mm256_xor_si256(v3, v0);
    v2 = _mm256_add_epi64(v2, v1);
    v1 = rotl(v1, 17);
    v1 = _mm256_xor_si256(v1, v2);
    v2 = _mm256_shuffle_epi32(v2, 0xB1);
}

QUELVAR_AVX2 inline __m256i gather_words(const unsigned char* const in[4], std::size_t offset) {
    return _mm256_setr_epi64x(static_cast<long long>(sip_detail::load_le64(in[0] + offset)),
                              static_cast<long long>(sip_detail::load_le64(in[1] + offset)),
                              static_cast<long long>(sip_detail::load_le64(in[2] + offset)),
                              static_cast<long long>(sip_detail::load_le64(in[3] + offset)));
}

QUELVAR_AVX2 inline __m256i finish(__m256i v0, __m256i v1, __m256i v2, __m256i v3, __m256i rotate16) {
    v2 = _mm256_xor_si256(v2, _mm256_set1_epi64x(0xff));
    sip_round(v0, v1, v2, v3, rotate16);
    sip_round(v0, v1, v2, v3, rotate16);
    sip_round(v0, v1, v2, v3, rotate16);
    return _mm256_xor_si256(_mm256_xor_si256(v0, v1), _mm256_xor_si256(v2, v3));
}

// Four SipHash states, one per 64-bit lane.
struct Lanes {
    __m256i v0, v1, v2, v3;
};

QUELVAR_AVX2 inline Lanes start(SipKey key) {
    return Lanes{_mm256_set1_epi64x(static_cast<long long>(key.k0 ^ 0x736f6d6570736575ULL)),
                 _mm256_set1_epi64x(static_cast<long long>(key.k1 ^ 0x646f72616e646f6dULL)),
                 _mm256_set1_epi64x(static_cast<long long>(key.k0 ^ 0x6c7967656e657261ULL)),
                 _mm256_set1_epi64x(static_cast<long long>(key.k1 ^ 0x7465646279746573ULL))};
}

QUELVAR_AVX2 inline __m256i rotate16_mask() {
    return _mm256_setr_epi8(6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13,  //
                            6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13);
}

QUELVAR_AVX2 inline void absorb(Lanes& s, __m256i m, __m256i rotate16) {
    s.v3 = _mm256_xor_si256(s.v3, m);
    sip_round(s.v0, s.v1, s.v2, s.v3, rotate16);
    s.v0 = _mm256_xor_si256(s.v0, m);
}

// Whether four messages of 8 to 63 bytes all have `full_words` whole words:
// then their rounds run in step.
inline bool in_step(const std::size_t length[4], std::size_t full_words) {
    return full_words >= 1 && length[0] / 8 == full_words && length[1] / 8 == full_words &&
           length[2] / 8 == full_words && length[3] / 8 == full_words && length[0] <= MAX_VECTOR_BYTES &&
           length[1] <= MAX_VECTOR_BYTES && length[2] <= MAX_VECTOR_BYTES && length[3] <= MAX_VECTOR_BYTES;
}

// The last, partial words of four messages of at least 8 bytes: the word
// ending at each message's end holds its last length % 8 bytes on top, so
// it is shifted right by 64 - 8 * (length % 8) bits (by 64, which gives
// zero, when the length is a multiple of 8); the length goes on top.
QUELVAR_AVX2 inline __m256i last_words(const unsigned char* const in[4], const std::size_t length[4]) {
    const __m256i lengths = _mm256_setr_epi64x(static_cast<long long>(length[0]), static_cast<long long>(length[1]),
                                               static_cast<long long>(length[2]), static_cast<long long>(length[3]));
    const __m256i ends = _mm256_setr_epi64x(static_cast<long long>(sip_detail::load_le64(in[0] + length[0] - 8)),
                                            static_cast<long long>(sip_detail::load_le64(in[1] + length[1] - 8)),
                                            static_cast<long long>(sip_detail::load_le64(in[2] + length[2] - 8)),
                                            static_cast<long long>(sip_detail::load_le64(in[3] + length[3] - 8)));
    const __m256i tail_bits = _mm256_slli_epi64(_mm256_and_si256(lengths, _mm256_set1_epi64x(7)), 3);
    const __m256i shift = _mm256_sub_epi64(_mm256_set1_epi64x(64), tail_bits);
    return _mm256_or_si256(_mm256_srlv_epi64(ends, shift), _mm256_slli_epi64(lengths, 56));
}

// Each message runs through its own sequence of rounds: one compression
// round per 8-byte word (the last word partial, with the length on top),
// then three finalisation rounds, the first preceded by v2 ^= 0xff.
//
// The usual group, four messages of 8 to 63 bytes with as many words each,
// runs in step: its words are read straight into the lanes.
//
// Any other group of messages up to 63 bytes goes through a table of words.
// Step t does round t of every lane: a lane with fewer words absorbs zero
// words (a no-op xor) once its own are done, starts finalising at its own
// step, and its result is taken after its own last round; rounds it runs
// after that are never read. Longer messages are hashed one by one.
QUELVAR_AVX2 void avx2_x4(SipKey key, const char* const data[4], const std::size_t length[4],
                          std::uint64_t out[4]) noexcept {
    if (length[0] > MAX_VECTOR_BYTES || length[1] > MAX_VECTOR_BYTES || length[2] > MAX_VECTOR_BYTES ||
        length[3] > MAX_VECTOR_BYTES) {
        scalar_x4(key, data, length, out);
        return;
    }
    const unsigned char* const in[4] = {
        reinterpret_cast<const unsigned char*>(data[0]), reinterpret_cast<const unsigned char*>(data[1]),
        reinterpret_cast<const unsigned char*>(data[2]), reinterpret_cast<const unsigned char*>(data[3])};
    const __m256i rotate16 = rotate16_mask();
    Lanes s = start(key);

    if (in_step(length, length[0] / 8)) {
        const std::size_t full_words = length[0] / 8;
        for (std::size_t t = 0; t < full_words; ++t) absorb(s, gather_words(in, 8 * t), rotate16);
        absorb(s, last_words(in, length), rotate16);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), finish(s.v0, s.v1, s.v2, s.v3, rotate16));
        return;
    }

    const std::size_t words[4] = {length[0] / 8 + 1, length[1] / 8 + 1, length[2] / 8 + 1, length[3] / 8 + 1};
    std::size_t most = words[0];
    for (std::size_t w : words) most = w > most ? w : most;
    // message[t] holds word t of the four lanes, zero past a lane's last word.
    alignas(32) std::uint64_t message[MAX_WORDS][4];
    for (int lane = 0; lane < 4; ++lane) {
        std::size_t t = 0;
        for (; t + 1 < words[lane]; ++t) message[t][lane] = sip_detail::load_le64(in[lane] + 8 * t);
        message[t++][lane] = sip_detail::last_word(in[lane], length[lane]);
        for (; t < most; ++t) message[t][lane] = 0;
    }
    const __m256i first_final_step =
        _mm256_setr_epi64x(static_cast<long long>(words[0]), static_cast<long long>(words[1]),
                           static_cast<long long>(words[2]), static_cast<long long>(words[3]));
    const __m256i last_step = _mm256_add_epi64(first_final_step, _mm256_set1_epi64x(2));
    const __m256i finalisation_mark = _mm256_set1_epi64x(0xff);
    __m256i result = _mm256_setzero_si256();
    for (std::size_t t = 0; t < most + 3; ++t) {
        const __m256i m =
            t < most ? _mm256_load_si256(reinterpret_cast<const __m256i*>(message[t])) : _mm256_setzero_si256();
        const __m256i step = _mm256_set1_epi64x(static_cast<long long>(t));
        s.v2 = _mm256_xor_si256(s.v2, _mm256_and_si256(_mm256_cmpeq_epi64(step, first_final_step), finalisation_mark));
        absorb(s, m, rotate16);
        const __m256i hash = _mm256_xor_si256(_mm256_xor_si256(s.v0, s.v1), _mm256_xor_si256(s.v2, s.v3));
        result = _mm256_blendv_epi8(result, hash, _mm256_cmpeq_epi64(step, last_step));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), result);
}

// Eight messages: when both groups of four run in step with as many words,
// their rounds are interleaved, so that one group's additions and shifts
// fill the cycles the other waits for its previous round; otherwise the
// groups are hashed one after the other.
QUELVAR_AVX2 void avx2_x8(SipKey key, const char* const data[8], const std::size_t length[8],
                          std::uint64_t out[8]) noexcept {
    const std::size_t full_words = length[0] / 8;
    if (!in_step(length, full_words) || !in_step(length + 4, full_words)) {
        avx2_x4(key, data, length, out);
        avx2_x4(key, data + 4, length + 4, out + 4);
        return;
    }
    const unsigned char* in[8];
    for (int lane = 0; lane < 8; ++lane) in[lane] = reinterpret_cast<const unsigned char*>(data[lane]);
    const __m256i rotate16 = rotate16_mask();
    Lanes a = start(key), b = start(key);
    for (std::size_t t = 0; t < full_words; ++t) {
        absorb(a, gather_words(in, 8 * t), rotate16);
        absorb(b, gather_words(in + 4, 8 * t), rotate16);
    }
    absorb(a, last_words(in, length), rotate16);
    absorb(b, last_words(in + 4, length + 4), rotate16);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), finish(a.v0, a.v1, a.v2, a.v3, rotate16));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4), finish(b.v0, b.v1, b.v2, b.v3, rotate16));
}

bool has_avx2() noexcept {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

#endif

}  // namespace

void siphash13_x8(SipKey key, const char* const data[8], const std::size_t length[8], std::uint64_t out[8]) noexcept {
#if QUELVAR_SIPHASH_AVX2
    if (has_avx2()) return avx2_x8(key, data, length, out);
#endif
    scalar_x4(key, data, length, out);
    scalar_x4(key, data + 4, length + 4, out + 4);
}

bool siphash13_x8_is_vectorised() noexcept {
#if QUELVAR_SIPHASH_AVX2
    return has_avx2();
#else
    return false;
#endif
}

}  // namespace quelvar
