/*
 * qulo incremental qq mode: the same ciphertext as the one-message entry
 * points of qulo/tea.h, produced or consumed in chunks of any size.
 *
 * The contexts are plain structures that the caller owns (on the stack, in
 * an object, anywhere): nothing here allocates, holds a lock or touches an
 * interpreter object. A context is used by one thread at a time.
 *
 *   qulo_encryptor e;
 *   qulo_op op = {QULO_ENCRYPT, QULO_BIG_ENDIAN, NULL, 0};
 *   int64_t total = qulo_encryptor_init(&e, &key, &op, n);
 *   for each chunk:  w = qulo_encryptor_update(&e, chunk, len, out, cap);
 *   finally:         w = qulo_encryptor_finish(&e, out, cap);
 *
 * The outputs of the updates and of the finish, concatenated, are exactly
 * qulo_run(&key, &op, text, n, ...), `total` bytes in all, however the n
 * bytes were cut into chunks.
 *
 * Decryption needs no length. Each update emits the plaintext that is
 * already certain: everything decrypted so far except the last 7 bytes,
 * which may turn out to be the trailing zeros. The finish then applies the
 * one-message rules (a ciphertext is a multiple of 8 and at least 16 bytes;
 * a 16-byte one must not decrypt to fill count 7; with op->verify, the
 * trailing 7 bytes are zeros) and emits nothing. When the finish refuses
 * the ciphertext, the plaintext already emitted is not a plaintext of
 * anything and must be discarded.
 *
 * Results: a length (0 or more) on success, or one of the negative
 * statuses of <qulo/mode.h>. A refused call changes nothing, except a
 * finish (see there), so a caller may retry an update with a larger output.
 * Source and output must not share a byte (QULO_E_OVERLAP is returned when
 * the bytes an update reads and writes overlap): the output of an update
 * may run ahead of its source, so in-place use cannot work.
 */
#ifndef QULO_STREAM_H
#define QULO_STREAM_H

#include <stdint.h>

#include "qulo/mode.h"
#include "qulo/tea.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The most bytes any finish writes. */
enum { QULO_STREAM_FINISH_MAX = 16 };

/* The most bytes an update of `len` source bytes writes, whatever the
 * context's state: size an output buffer reused for chunks of up to `len`
 * bytes with this. */
static inline int64_t qulo_stream_update_max(int64_t len) { return len + 16; }

/* Contexts: opaque storage, set up by the init calls. The fields are
 * private; copying a context (memcpy) forks the stream. */
typedef struct qulo_encryptor {
    union {
        uint64_t align_;
        unsigned char bytes_[192];
    } opaque_;
} qulo_encryptor;

typedef struct qulo_decryptor {
    union {
        uint64_t align_;
        unsigned char bytes_[192];
    } opaque_;
} qulo_decryptor;

/*
 * Sets up `ctx` for a plaintext of exactly `plaintext_len` bytes with the
 * operation `op`, whose direction must be QULO_ENCRYPT. The key words and
 * the round sums are copied into the context; `op` need not outlive the
 * call. Returns the ciphertext length qulo_encrypt_len(plaintext_len), or
 * QULO_E_NULL (null ctx, key or op) / QULO_E_ARGUMENT (a negative length,
 * one above QULO_MAX_PLAINTEXT_LEN, or an op that is not an encryption);
 * ctx is then unusable.
 */
int64_t qulo_encryptor_init(qulo_encryptor *ctx, const qulo_key *key, const qulo_op *op,
                            int64_t plaintext_len);

/* Exactly how many bytes the next update of `src_len` bytes writes (at most
 * qulo_stream_update_max(src_len)), or a negative status: QULO_E_NULL,
 * QULO_E_STATE, QULO_E_ARGUMENT for a negative length, QULO_E_TOO_MUCH. */
int64_t qulo_encryptor_update_len(const qulo_encryptor *ctx, int64_t src_len);

/* Encrypts the next `src_len` plaintext bytes into `out` and returns how
 * many ciphertext bytes it wrote (a multiple of 8; the rest waits for the
 * next call). Needs out_capacity >= qulo_encryptor_update_len(ctx, src_len).
 * src may be NULL when src_len is 0. */
int64_t qulo_encryptor_update(qulo_encryptor *ctx, const uint8_t *src, int64_t src_len,
                              uint8_t *out, int64_t out_capacity);

/* Writes the last ciphertext bytes (8 or 16) and finishes the context,
 * wiping its key words and sums. QULO_E_TOO_LITTLE while announced bytes
 * are missing (the context stays usable), QULO_E_SPACE when out_capacity
 * is below the bytes to write. */
int64_t qulo_encryptor_finish(qulo_encryptor *ctx, uint8_t *out, int64_t out_capacity);

/* The plaintext length announced at set-up, and the plaintext bytes given
 * to updates so far; or QULO_E_NULL / QULO_E_STATE (finished or wiped). */
int64_t qulo_encryptor_length(const qulo_encryptor *ctx);
int64_t qulo_encryptor_given(const qulo_encryptor *ctx);

/* Wipes the context whatever its state; it is then unusable until set up
 * again. Call it when abandoning a stream. NULL is ignored. */
void qulo_encryptor_wipe(qulo_encryptor *ctx);

/* Sets up `ctx` for a ciphertext of any length with the operation `op`,
 * whose direction must be QULO_DECRYPT (op->verify is kept for the
 * finish). Returns 0, or QULO_E_NULL / QULO_E_ARGUMENT. */
int64_t qulo_decryptor_init(qulo_decryptor *ctx, const qulo_key *key, const qulo_op *op);

/* The most bytes the next update of `src_len` bytes writes (at most
 * qulo_stream_update_max(src_len)); exact once 8 ciphertext bytes have been
 * given, when the fill count is known. Negative statuses as for encryption. */
int64_t qulo_decryptor_update_len(const qulo_decryptor *ctx, int64_t src_len);

/* Decrypts the next `src_len` ciphertext bytes and writes the plaintext
 * that is now certain into `out`; returns how many bytes it wrote. Needs
 * out_capacity >= qulo_decryptor_update_len(ctx, src_len). */
int64_t qulo_decryptor_update(qulo_decryptor *ctx, const uint8_t *src, int64_t src_len,
                              uint8_t *out, int64_t out_capacity);

/* Checks the whole ciphertext against the one-message rules and finishes
 * the context (wiping it) either way. Returns 0 (every plaintext byte has
 * already been written), or what qulo_run would return for the whole
 * ciphertext: QULO_E_SHORT, QULO_E_BLOCKS, QULO_E_FILL, or (only with
 * op->verify) QULO_E_CHECK. */
int64_t qulo_decryptor_finish(qulo_decryptor *ctx);

/* Total ciphertext bytes given so far (for messages), or a negative status. */
int64_t qulo_decryptor_given(const qulo_decryptor *ctx);

void qulo_decryptor_wipe(qulo_decryptor *ctx);

/* Function-pointer types of the entry points above, as published in
 * capsules. */
typedef int64_t (*qulo_encryptor_init_fn)(qulo_encryptor *, const qulo_key *, const qulo_op *,
                                          int64_t);
typedef int64_t (*qulo_encryptor_update_len_fn)(const qulo_encryptor *, int64_t);
typedef int64_t (*qulo_encryptor_update_fn)(qulo_encryptor *, const uint8_t *, int64_t,
                                            uint8_t *, int64_t);
typedef int64_t (*qulo_encryptor_finish_fn)(qulo_encryptor *, uint8_t *, int64_t);
typedef int64_t (*qulo_encryptor_count_fn)(const qulo_encryptor *);
typedef void (*qulo_encryptor_wipe_fn)(qulo_encryptor *);
typedef int64_t (*qulo_decryptor_init_fn)(qulo_decryptor *, const qulo_key *, const qulo_op *);
typedef int64_t (*qulo_decryptor_update_len_fn)(const qulo_decryptor *, int64_t);
typedef int64_t (*qulo_decryptor_update_fn)(qulo_decryptor *, const uint8_t *, int64_t,
                                            uint8_t *, int64_t);
typedef int64_t (*qulo_decryptor_finish_fn)(qulo_decryptor *);
typedef int64_t (*qulo_decryptor_count_fn)(const qulo_decryptor *);
typedef void (*qulo_decryptor_wipe_fn)(qulo_decryptor *);

#ifdef __cplusplus
}
#endif

#endif /* QULO_STREAM_H */
