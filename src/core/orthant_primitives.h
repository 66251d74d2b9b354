// The orthant primitives, the only code that differs between the builds; the
// build's preprocessor switch picks one set:
//   TESSARIN_AVX512           16-lane AVX-512 vectors (x86-64 with AVX512F)
//   TESSARIN_AVX512_EMULATED  the same AVX-512 source through SIMDe's portable
//                             lowering, a build for testing that source on any
//                             processor
//   TESSARIN_AVX2             two 8-lane AVX2 vectors per block (x86-64-v3)
//   __ARM_NEON                four 4-lane NEON vectors per block (aarch64);
//                             TESSARIN_NEON_EMULATED takes it through SIMDe
//   otherwise                 one dimension at a time
// Every set computes the same integers, so every build returns the same bits.
//
// Bit b of an orthant index is set exactly when the corner's coordinate b is
// greater than the point's (signed 32-bit): ties count as at-or-above, so a
// corner lies in its own orthant 0. Padding lanes are 0 in every point and
// never set a bit.
//
// calculate_bin: the orthant index of point j around corner i, from BLOCKS
//   16-lane blocks per point (fixed at compile time, so that the comparison
//   unrolls and the corner's blocks stay in registers).
// calculate_bins<P>: bit l set when lane l of `corner_lanes` is greater than
//   the point's coordinate spread[l], for the first `live` lanes (16-lane,
//   64-byte aligned arrays; the bits above `live` are unspecified): P corners
//   of d <= 16 / P dimensions packed into one block are compared with a point
//   at once, spread[l] being l % d.
// accumulate_lane_sums: with sixteen corners of D <= 4 dimensions held
//   dimension by dimension in `corner_coordinate`, adds weight[j] to lane c
//   of lane_sums[o] for each of `count` points, o being the orthant of point j
//   around corner c. The caller keeps the 32-bit sums from overflowing.
//
// ORTHANT_BATCH: how many orthant indices the scans compute before the table
//   updates that use them. A vector build's index comes at the end of a long
//   chain of vector operations; updates interleaved with them wait for their
//   addresses, and the processor runs later updates' loads ahead of stores it
//   cannot yet place, so the vector builds compute a batch first (which also
//   lets the hashed scan prefetch its slots). The scalar build's indices come
//   a comparison at a time, and interleaving them with the updates is faster.
//
// Only the kernels carry KERNEL_TARGET, so the loader and the processor check
// stay runnable on any processor of the architecture and can refuse the call
// cleanly. This header is included by the kernel source after the Task record.
#ifndef TESSARIN_ORTHANT_PRIMITIVES_H
#define TESSARIN_ORTHANT_PRIMITIVES_H

#include <stdint.h>
#include <string.h>

#if defined(TESSARIN_AVX512) || defined(TESSARIN_AVX512_EMULATED)
#ifdef TESSARIN_AVX512_EMULATED
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
// SIMDe names the vector types after the intrinsics' own but not the mask type.
#define __mmask16 simde__mmask16
#define KERNEL_TARGET
#else
#include <immintrin.h>
#define KERNEL_TARGET __attribute__((target("avx512f")))
#endif
constexpr uint64_t ORTHANT_BATCH = 64;

template <int BLOCKS>
static inline KERNEL_TARGET void calculate_bin(uint64_t& i, uint64_t& j, uint64_t& bin, Task* t) {
    const __m512i* blocks = (const __m512i*)t->data->rank_vectors.get();
    bin = 0;
    for (int32_t b = 0; b < BLOCKS; b++) {
        const __m512i corner = _mm512_load_si512(blocks + i * BLOCKS + b);
        const __m512i point = _mm512_load_si512(blocks + j * BLOCKS + b);
        bin |= (uint64_t)_mm512_cmpgt_epi32_mask(corner, point) << (16 * b);
    }
}

template <int P>
static inline KERNEL_TARGET uint32_t calculate_bins(const int32_t* corner_lanes, const int32_t* point,
                                                     const int32_t* spread, uint32_t live) {
    (void)live;
    const __m512i point_lanes =
        _mm512_maskz_permutexvar_epi32(0xFFFF, _mm512_load_si512(spread), _mm512_load_si512(point));
    return _mm512_cmpgt_epi32_mask(_mm512_load_si512(corner_lanes), point_lanes);
}

template <int D>
static inline KERNEL_TARGET void accumulate_lane_sums(const int32_t (*corner_coordinate)[16], const int32_t* points,
                                                      const int64_t* weight, uint64_t count,
                                                      int32_t (*lane_sums)[16]) {
    constexpr int ORTANTS = 1 << D;
    __m512i corner[D], sum[ORTANTS];
    for (int k = 0; k < D; k++) corner[k] = _mm512_load_si512(corner_coordinate[k]);
    for (int o = 0; o < ORTANTS; o++) sum[o] = _mm512_setzero_si512();
    for (uint64_t j = 0; j < count; j++) {
        __m512i bin = _mm512_setzero_si512();
        for (int k = 0; k < D; k++) {
            const __mmask16 below = _mm512_cmpgt_epi32_mask(corner[k], _mm512_set1_epi32(points[j * 16 + k]));
            bin = _mm512_mask_or_epi32(bin, below, bin, _mm512_set1_epi32(1 << k));
        }
        const __m512i w = _mm512_set1_epi32((int32_t)weight[j]);
        for (int o = 0; o < ORTANTS; o++) {
            sum[o] = _mm512_mask_add_epi32(sum[o], _mm512_cmpeq_epi32_mask(bin, _mm512_set1_epi32(o)), sum[o], w);
        }
    }
    for (int o = 0; o < ORTANTS; o++) _mm512_store_si512(lane_sums[o], sum[o]);
}

#elif defined(TESSARIN_AVX2)
#include <immintrin.h>
// The x86-64-v3 level: AVX2 with FMA, BMI1/2, LZCNT, MOVBE and F16C.
#define KERNEL_TARGET __attribute__((target("avx2,fma,bmi,bmi2,lzcnt,movbe,f16c,popcnt")))
constexpr uint64_t ORTHANT_BATCH = 64;

// The sign bits of a comparison's eight lanes.
static inline KERNEL_TARGET uint32_t lane_bits(__m256i greater) {
    return (uint32_t)_mm256_movemask_ps(_mm256_castsi256_ps(greater));
}

template <int BLOCKS>
static inline KERNEL_TARGET void calculate_bin(uint64_t& i, uint64_t& j, uint64_t& bin, Task* t) {
    const __m256i* halves = (const __m256i*)t->data->rank_vectors.get();
    bin = 0;
    for (int32_t h = 0; h < 2 * BLOCKS; h++) {
        const __m256i corner = _mm256_load_si256(halves + i * 2 * BLOCKS + h);
        const __m256i point = _mm256_load_si256(halves + j * 2 * BLOCKS + h);
        bin |= (uint64_t)lane_bits(_mm256_cmpgt_epi32(corner, point)) << (8 * h);
    }
}

// One corner of more than 8 dimensions reads the point lane for lane; more
// corners have at most 8 dimensions, so every lane reads the point's low half.
template <int P>
static inline KERNEL_TARGET uint32_t calculate_bins(const int32_t* corner_lanes, const int32_t* point,
                                                     const int32_t* spread, uint32_t live) {
    (void)live;
    uint32_t mask = 0;
    const __m256i low = _mm256_load_si256((const __m256i*)point);
    for (int h = 0; h < 2; h++) {
        const __m256i point_lanes =
            P == 1 ? _mm256_load_si256((const __m256i*)(point + 8 * h))
                   : _mm256_permutevar8x32_epi32(low, _mm256_load_si256((const __m256i*)(spread + 8 * h)));
        const __m256i corner = _mm256_load_si256((const __m256i*)(corner_lanes + 8 * h));
        mask |= lane_bits(_mm256_cmpgt_epi32(corner, point_lanes)) << (8 * h);
    }
    return mask;
}

// Eight corners at a time. Rather than a sum per orthant, the scan keeps
// S[A], the sum of the weights of the points below the corner in at least the
// dimensions of A (a point lies below in dimension k when bit k of its orthant
// is set); S[{}] is the plain sum of the weights. The orthant sums follow by
// inclusion and exclusion, O[o] = sum over A containing o of (-1)^|A - o| S[A],
// exactly: the lanes wrap modulo 2^32 and every true sum fits 32 bits.
//
// A point's share of S[A] is its weight masked by its comparisons in the
// dimensions of A, built from the masked weights over the subsets of the
// first two dimensions and the joint masks over the subsets of the others,
// so that a point's shares need few registers. Two points' shares are added
// before they reach the sums, which do not fit the registers: that halves the
// stores to them.
template <int D>
static inline KERNEL_TARGET void point_shares(const __m256i* corner, const int32_t* point, __m256i weight,
                                              __m256i (&low)[4], __m256i (&high)[4]) {
    constexpr int LOW = D < 2 ? D : 2, HIGH = D - LOW;
    __m256i below[D];
    for (int k = 0; k < D; k++) below[k] = _mm256_cmpgt_epi32(corner[k], _mm256_set1_epi32(point[k]));
    low[0] = weight;
    for (int k = 0; k < LOW; k++) {
        for (int a = 0; a < (1 << k); a++) low[a | (1 << k)] = _mm256_and_si256(low[a], below[k]);
    }
    for (int k = 0; k < HIGH; k++) high[1 << k] = below[LOW + k];
    if (HIGH == 2) high[3] = _mm256_and_si256(high[1], high[2]);
}

template <int D>
static inline KERNEL_TARGET void accumulate_lane_sums(const int32_t (*corner_coordinate)[16], const int32_t* points,
                                                      const int64_t* weight, uint64_t count,
                                                      int32_t (*lane_sums)[16]) {
    constexpr int ORTANTS = 1 << D, LOW = D < 2 ? D : 2;
    uint32_t total = 0;
    for (uint64_t j = 0; j < count; j++) total += (uint32_t)weight[j];
    for (int h = 0; h < 2; h++) {
        __m256i corner[D > 0 ? D : 1], sum[ORTANTS];
        for (int k = 0; k < D; k++) corner[k] = _mm256_load_si256((const __m256i*)(corner_coordinate[k] + 8 * h));
        for (int o = 0; o < ORTANTS; o++) sum[o] = _mm256_setzero_si256();
        uint64_t j = 0;
        for (; j + 2 <= count; j += 2) {
            __m256i low0[4], high0[4], low1[4], high1[4];
            point_shares<D>(corner, points + j * 16, _mm256_set1_epi32((int32_t)weight[j]), low0, high0);
            point_shares<D>(corner, points + (j + 1) * 16, _mm256_set1_epi32((int32_t)weight[j + 1]), low1, high1);
            for (int a = 1; a < ORTANTS; a++) {
                const int l = a & ((1 << LOW) - 1), u = a >> LOW;
                const __m256i share0 = u ? _mm256_and_si256(low0[l], high0[u]) : low0[l];
                const __m256i share1 = u ? _mm256_and_si256(low1[l], high1[u]) : low1[l];
                sum[a] = _mm256_add_epi32(sum[a], _mm256_add_epi32(share0, share1));
            }
        }
        if (j < count) {
            __m256i low0[4], high0[4];
            point_shares<D>(corner, points + j * 16, _mm256_set1_epi32((int32_t)weight[j]), low0, high0);
            for (int a = 1; a < ORTANTS; a++) {
                const int l = a & ((1 << LOW) - 1), u = a >> LOW;
                sum[a] = _mm256_add_epi32(sum[a], u ? _mm256_and_si256(low0[l], high0[u]) : low0[l]);
            }
        }
        sum[0] = _mm256_set1_epi32((int32_t)total);
        for (int k = 0; k < D; k++) {
            for (int o = 0; o < ORTANTS; o++) {
                if (!(o & (1 << k))) sum[o] = _mm256_sub_epi32(sum[o], sum[o | (1 << k)]);
            }
        }
        for (int o = 0; o < ORTANTS; o++) _mm256_store_si256((__m256i*)(lane_sums[o] + 8 * h), sum[o]);
    }
}

#elif (defined(__aarch64__) && defined(__ARM_NEON)) || defined(TESSARIN_NEON_EMULATED)
#ifdef TESSARIN_NEON_EMULATED
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/arm/neon.h>
#else
#include <arm_neon.h>
#endif
// NEON is part of every aarch64 processor, so the kernels need no target.
#define KERNEL_TARGET
constexpr uint64_t ORTHANT_BATCH = 64;

// The bits of sixteen lanes compared four at a time: each quarter's lanes
// select their own bit, and one horizontal sum collects them.
static inline uint32_t block_bits(const int32_t* corner, const int32_t* point) {
    static const uint32_t bit[16] = {1u << 0,  1u << 1,  1u << 2,  1u << 3,  1u << 4,  1u << 5,
                                     1u << 6,  1u << 7,  1u << 8,  1u << 9,  1u << 10, 1u << 11,
                                     1u << 12, 1u << 13, 1u << 14, 1u << 15};
    uint32x4_t bits = vdupq_n_u32(0);
    for (int q = 0; q < 4; q++) {
        const uint32x4_t greater = vcgtq_s32(vld1q_s32(corner + 4 * q), vld1q_s32(point + 4 * q));
        bits = vorrq_u32(bits, vandq_u32(greater, vld1q_u32(bit + 4 * q)));
    }
    return vaddvq_u32(bits);
}

template <int BLOCKS>
static inline void calculate_bin(uint64_t& i, uint64_t& j, uint64_t& bin, Task* t) {
    const int32_t* lanes = (const int32_t*)t->data->rank_vectors;
    bin = 0;
    for (int32_t b = 0; b < BLOCKS; b++) {
        bin |= (uint64_t)block_bits(lanes + (i * BLOCKS + b) * 16, lanes + (j * BLOCKS + b) * 16) << (16 * b);
    }
}

template <int P>
static inline uint32_t calculate_bins(const int32_t* corner_lanes, const int32_t* point, const int32_t* spread,
                                      uint32_t live) {
    (void)live;
    if (P == 1) return block_bits(corner_lanes, point);
    int32_t point_lanes[16];
    for (int l = 0; l < 16; l++) point_lanes[l] = point[spread[l]];
    return block_bits(corner_lanes, point_lanes);
}

// Four corners at a time, by inclusion and exclusion as in the AVX2 build.
template <int D>
static inline void accumulate_lane_sums(const int32_t (*corner_coordinate)[16], const int32_t* points,
                                        const int64_t* weight, uint64_t count, int32_t (*lane_sums)[16]) {
    constexpr int ORTANTS = 1 << D;
    uint32_t total = 0;
    for (uint64_t j = 0; j < count; j++) total += (uint32_t)weight[j];
    for (int q = 0; q < 4; q++) {
        int32x4_t corner[D], sum[ORTANTS];
        for (int k = 0; k < D; k++) corner[k] = vld1q_s32(corner_coordinate[k] + 4 * q);
        for (int o = 0; o < ORTANTS; o++) sum[o] = vdupq_n_s32(0);
        for (uint64_t j = 0; j < count; j++) {
            int32x4_t part[ORTANTS];
            part[0] = vdupq_n_s32((int32_t)weight[j]);
            for (int k = 0; k < D; k++) {
                const int32x4_t below = vreinterpretq_s32_u32(vcgtq_s32(corner[k], vdupq_n_s32(points[j * 16 + k])));
                for (int a = 0; a < (1 << k); a++) {
                    part[a | (1 << k)] = vandq_s32(part[a], below);
                    sum[a | (1 << k)] = vaddq_s32(sum[a | (1 << k)], part[a | (1 << k)]);
                }
            }
        }
        sum[0] = vdupq_n_s32((int32_t)total);
        for (int k = 0; k < D; k++) {
            for (int o = 0; o < ORTANTS; o++) {
                if (!(o & (1 << k))) sum[o] = vsubq_s32(sum[o], sum[o | (1 << k)]);
            }
        }
        for (int o = 0; o < ORTANTS; o++) vst1q_s32(lane_sums[o] + 4 * q, sum[o]);
    }
}

#else
#define KERNEL_TARGET
constexpr uint64_t ORTHANT_BATCH = 1;
template <int BLOCKS>
static inline void calculate_bin(uint64_t& i, uint64_t& j, uint64_t& bin, Task* t) {
    const int32_t* lanes = (const int32_t*)t->data->rank_vectors;
    const int32_t* corner = lanes + i * 16 * BLOCKS;
    const int32_t* point = lanes + j * 16 * BLOCKS;
    const uint64_t d = t->data->d;
    bin = 0;
    for (uint64_t k = 0; k < d; k++) bin |= (uint64_t)(corner[k] > point[k]) << k;
}

template <int P>
static inline uint32_t calculate_bins(const int32_t* corner_lanes, const int32_t* point, const int32_t* spread,
                                      uint32_t live) {
    uint32_t mask = 0;
    for (uint32_t l = 0; l < live && l < 16; l++) mask |= (uint32_t)(corner_lanes[l] > point[spread[l]]) << l;
    return mask;
}

template <int D>
static inline void accumulate_lane_sums(const int32_t (*corner_coordinate)[16], const int32_t* points,
                                        const int64_t* weight, uint64_t count, int32_t (*lane_sums)[16]) {
    memset(lane_sums, 0, sizeof(int32_t) * 16 * (1 << D));
    for (uint64_t j = 0; j < count; j++) {
        for (int c = 0; c < 16; c++) {
            int bin = 0;
            for (int k = 0; k < D; k++) bin |= (corner_coordinate[k][c] > points[j * 16 + k]) << k;
            lane_sums[bin][c] += (int32_t)weight[j];
        }
    }
}
#endif

#endif
