/*
 * qulo cipher core: any qq-mode operation, named by a descriptor.
 *
 * The six entry points of <qulo/tea.h> are six fixed operations: a
 * direction, a way of reading 8 bytes as a block, and the round sums. A
 * qulo_op names any of them (and the combinations none of them names, such
 * as the standard sums with host-order blocks), and every driver of the
 * core takes one: qulo_run here for one message, the contexts of
 * <qulo/stream.h> for a message in chunks, qulo_batch_run of <qulo/batch.h>
 * for many messages. They report failure with the statuses below, which
 * say what was wrong; the named entry points report every failure as -1.
 */
#ifndef QULO_MODE_H
#define QULO_MODE_H

#include <stddef.h>
#include <stdint.h>

#include "qulo/tea.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Which of the qq-mode operations a driver runs. */
enum { QULO_ENCRYPT = 0, QULO_DECRYPT = 1 };       /* direction */
enum { QULO_BIG_ENDIAN = 0, QULO_HOST_ORDER = 1 }; /* how 8 bytes become a block */

typedef struct qulo_op {
    int32_t direction;       /* QULO_ENCRYPT or QULO_DECRYPT */
    int32_t order;           /* QULO_BIG_ENDIAN or QULO_HOST_ORDER */
    const uint8_t *sumtable; /* 64 bytes of round sums (host order), or NULL: the standard sums */
    int32_t verify;          /* decryption only: nonzero refuses (QULO_E_CHECK) a plaintext whose
                                seven trailing padding bytes are not zero */
} qulo_op;

/* Results below zero, shared by every driver (one message, incremental,
 * batch). */
enum qulo_status {
    /* The output capacity is below what the call writes. */
    QULO_E_SPACE = -1,
    /* A ciphertext of fewer than 16 bytes. */
    QULO_E_SHORT = -2,
    /* A ciphertext whose length is not a multiple of 8. */
    QULO_E_BLOCKS = -3,
    /* A 16-byte ciphertext whose header claims a fill of 7: no room for the
     * plaintext. */
    QULO_E_FILL = -4,
    /* Verified decryption: the seven trailing bytes are not zero (wrong key,
     * sums or byte order, a damaged ciphertext, or one cut at a block
     * boundary). */
    QULO_E_CHECK = -5,
    /* A negative or too large length; an unknown direction or order. */
    QULO_E_ARGUMENT = -6,
    /* A null context or descriptor, or a null source or output with a
     * non-zero length. */
    QULO_E_NULL = -7,
    /* The context is finished or wiped, or was never set up. A context that
     * was never set up is recognised only when its storage is zero-filled;
     * otherwise it must not be passed at all. */
    QULO_E_STATE = -8,
    /* An encryption update would take the plaintext past the announced
     * length. */
    QULO_E_TOO_MUCH = -9,
    /* An encryption finish before the announced length was given. */
    QULO_E_TOO_LITTLE = -10,
    /* Source and output share a byte where they must not. */
    QULO_E_OVERLAP = -11
};

/* Whether n ciphertext bytes can be decrypted at all: 0, QULO_E_SHORT or
 * QULO_E_BLOCKS. The one place that knows the ciphertext's shape;
 * QULO_E_FILL and QULO_E_CHECK are only known after decrypting, and the
 * drivers return them. */
int64_t qulo_ciphertext_status(int64_t n);

/* The room a result of `op` needs for n source bytes: the output capacity
 * that qulo_run, a batch message or a one-message entry point must be
 * given. Encryption: the ciphertext length, or QULO_E_ARGUMENT for a
 * negative n or one above QULO_MAX_PLAINTEXT_LEN. Decryption: n itself (the
 * plaintext is shorter, but every block is written), or for a length that
 * cannot be decrypted at all the status of qulo_ciphertext_status
 * (QULO_E_SHORT, a negative n included, or QULO_E_BLOCKS). QULO_E_NULL / QULO_E_ARGUMENT for a
 * null or unknown descriptor. Every layer sizes its outputs with this. */
int64_t qulo_output_capacity(const qulo_op *op, int64_t n);

/*
 * One message, any operation: the length (>= 0) or a negative status, with
 * the same effects on `out` as the named entry points of <qulo/tea.h> (which
 * are this call with a fixed descriptor, every negative mapped to -1).
 *
 * Encryption: QULO_E_ARGUMENT for a negative src_len or one above
 * QULO_MAX_PLAINTEXT_LEN, QULO_E_SPACE when out_capacity is below the
 * ciphertext length. Decryption checks in this order: QULO_E_SHORT,
 * QULO_E_BLOCKS, QULO_E_SPACE (capacity below src_len), QULO_E_FILL; none of
 * these writes anything. With op->verify the plaintext is written before
 * the check, and QULO_E_CHECK is returned after it. QULO_E_NULL for a null
 * descriptor, QULO_E_ARGUMENT for an unknown direction or order.
 */
int64_t qulo_run(const qulo_key *key, const qulo_op *op, const uint8_t *src, int64_t src_len,
                 uint8_t *out, int64_t out_capacity);

/* Zeroes `size` bytes at `p` so that the compiler cannot drop it as a dead
 * store. The rule it serves: every copy of key words or round sums that the
 * core or the binding makes in memory is cleared before that memory is
 * given up (ciphertext and plaintext are the caller's and are not). */
void qulo_wipe(void *p, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* QULO_MODE_H */
