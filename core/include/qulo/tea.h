/*
 * qulo cipher core: TEA (16 cycles) in the padded, doubly chained qq mode.
 *
 * Plain functions over byte arrays. They hold no state, allocate nothing,
 * touch no interpreter object and may be called on any thread without the
 * Python interpreter lock. Failure is reported by returning -1 and nothing
 * else; on failure the output is left exactly as it was.
 *
 * Ciphertext layout for an n-byte plaintext, p = 7 - ((n + 1) mod 8):
 *
 *   +--------+-----------------+-----------+------------------+
 *   | 0xF8|p |  p + 2 x 0x00   | plaintext |    7 x 0x00      |
 *   +--------+-----------------+-----------+------------------+
 *   0        1                 p+3         p+n+3         T = n+p+10
 *
 * cut into 8-byte blocks P(i), each chained as
 *   X(i) = P(i) ^ C(i-1),  C(i) = E(X(i)) ^ X(i-1),  C(-1) = X(-1) = 0.
 */
#ifndef QULO_TEA_H
#define QULO_TEA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Key record: four key words in host byte order. k0 is built from key
 * bytes 0-3 read big-endian, k1 from bytes 4-7, and so on. */
typedef struct qulo_key {
    uint32_t k0;
    uint32_t k1;
    uint32_t k2;
    uint32_t k3;
} qulo_key;

/*
 * Encryption: returns T = qulo_encrypt_len(src_len), or -1 when
 * out_capacity < T (then nothing is written). On success all out_capacity
 * bytes are written: the ciphertext, then zeros. src may be NULL when
 * src_len is 0; src_len must not be negative.
 *
 * Decryption: returns the plaintext length L >= 0, or -1 when src_len < 16,
 * src_len is not a multiple of 8, out_capacity < src_len, or a 16-byte
 * ciphertext decrypts to fill count 7; nothing is written on failure (the
 * fill count is taken from the first block before any write). On success
 * out[0..L) holds the plaintext, out[L..src_len) leftover decrypted bytes,
 * and out[src_len..out_capacity) is untouched. Nothing is authenticated: a
 * wrong key or altered ciphertext decrypts to garbage without error.
 *
 * Overlap: in both directions src and out may overlap in any way, out
 * starting before, at or after src; the result is the same as with
 * separate buffers. Source bytes that lie inside out are overwritten on
 * success; those outside it are only read. Separate buffers cost nothing
 * extra; an output starting inside the ciphertext costs one move of it.
 *
 * sumtable: 64 bytes, sixteen 32-bit round sums in host byte order; word r-1
 * is the sum of cycle r. The qq variants use r * 0x9E3779B9.
 * The *_native_endian variants read each 8-byte block as one host-order
 * 64-bit value instead of big-endian.
 */
int64_t qulo_encrypt_qq(const qulo_key *key, const uint8_t *src, int64_t src_len,
                        uint8_t *out, int64_t out_capacity);
int64_t qulo_decrypt_qq(const qulo_key *key, const uint8_t *src, int64_t src_len,
                        uint8_t *out, int64_t out_capacity);
int64_t qulo_encrypt(const qulo_key *key, const uint8_t *sumtable, const uint8_t *src,
                     int64_t src_len, uint8_t *out, int64_t out_capacity);
int64_t qulo_decrypt(const qulo_key *key, const uint8_t *sumtable, const uint8_t *src,
                     int64_t src_len, uint8_t *out, int64_t out_capacity);
int64_t qulo_encrypt_native_endian(const qulo_key *key, const uint8_t *sumtable,
                                   const uint8_t *src, int64_t src_len, uint8_t *out,
                                   int64_t out_capacity);
int64_t qulo_decrypt_native_endian(const qulo_key *key, const uint8_t *sumtable,
                                   const uint8_t *src, int64_t src_len, uint8_t *out,
                                   int64_t out_capacity);

/* Length rule: n - ((n + 1) rem 8) + 17 with a truncating remainder; for
 * n >= 0 the smallest multiple of 8 not below n + 10. Defined for
 * INT64_MIN <= n <= QULO_MAX_PLAINTEXT_LEN; above that (the seventeen
 * largest int64_t values) the result does not fit and is meaningless. */
int64_t qulo_encrypt_len(int64_t n);

/* Largest length whose ciphertext length fits in int64_t (2^63 - 18). */
#define QULO_MAX_PLAINTEXT_LEN (INT64_MAX - 17)

/* Function-pointer types of the entry points, as published in capsules. */
typedef int64_t (*qulo_qq_fn)(const qulo_key *, const uint8_t *, int64_t, uint8_t *,
                              int64_t);
typedef int64_t (*qulo_table_fn)(const qulo_key *, const uint8_t *, const uint8_t *,
                                 int64_t, uint8_t *, int64_t);
typedef int64_t (*qulo_len_fn)(int64_t);

#ifdef __cplusplus
}
#endif

#endif /* QULO_TEA_H */
