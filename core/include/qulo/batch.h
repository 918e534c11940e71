/*
 * qulo cipher core, many messages per call: any qq-mode operation of
 * <qulo/mode.h> (the six named ones of <qulo/tea.h> among them) over
 * `count` independent messages, run side by side in the lanes of a vector
 * kernel.
 *
 * One message is one dependency chain (every block waits for the one
 * before), so a single message leaves most of a core idle. Independent
 * messages fill that room: each lane of the kernel carries one message, and
 * a lane whose message ends takes the next one, so messages of mixed
 * lengths keep the lanes busy.
 *
 * Per message i the call reads src[i] (src_len[i] bytes), writes out[i]
 * (out_capacity[i] bytes) and stores in result[i] exactly what the
 * one-message entry point of the same name returns for those arguments, with
 * exactly its effect on out[i]: the same ciphertext, the same -1 cases,
 * nothing written to out[i] when result[i] is -1 (a refused decryption is
 * decided from the first block before anything is written). Messages do not
 * interact: one refusal does not stop the others.
 *
 * Like the one-message entry points these hold no state beyond the kernel
 * choice below, allocate nothing, touch no interpreter object and may be
 * called on any thread, also concurrently with one key record and one sum
 * table.
 */
#ifndef QULO_BATCH_H
#define QULO_BATCH_H

#include <stdint.h>

#include <stddef.h>

#include "qulo/mode.h"
#include "qulo/tea.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The batch entry points. Arguments:
 *
 *   key           the key record, as for the one-message entry points
 *   sumtable      64 bytes, as for the one-message entry points (the *_qq
 *                 pair takes none)
 *   count         number of messages, >= 0
 *   src           count source pointers; src[i] may be NULL when
 *                 src_len[i] is 0
 *   src_len       count source lengths (>= 0 for encryption)
 *   out           count output pointers
 *   out_capacity  count output capacities
 *   result        count results, written by the call (it is not read)
 *
 * Returns the number of messages whose result is -1 (0 when all succeeded),
 * or -1 when the call itself is refused: count < 0, or no kernel can run
 * (QULO_BATCH_KERNEL names a kernel this CPU cannot run; see
 * qulo_batch_kernel_error()). A refused call writes nothing at all, result
 * included.
 *
 * Memory: as for one message, src[i] may overlap out[i] in any way, in
 * encryption and decryption alike (src[i] == out[i] decrypts in place; other
 * overlapping messages are handed to the one-message entry point, which
 * gives the same result as separate buffers). Across messages nothing may
 * overlap: out[i] must not share a byte with out[j] or src[j] for j != i.
 * The arrays themselves must not overlap any message.
 */
int64_t qulo_batch_encrypt_qq(const qulo_key *key, int64_t count, const uint8_t *const *src,
                              const int64_t *src_len, uint8_t *const *out,
                              const int64_t *out_capacity, int64_t *result);
int64_t qulo_batch_decrypt_qq(const qulo_key *key, int64_t count, const uint8_t *const *src,
                              const int64_t *src_len, uint8_t *const *out,
                              const int64_t *out_capacity, int64_t *result);
int64_t qulo_batch_encrypt(const qulo_key *key, const uint8_t *sumtable, int64_t count,
                           const uint8_t *const *src, const int64_t *src_len,
                           uint8_t *const *out, const int64_t *out_capacity, int64_t *result);
int64_t qulo_batch_decrypt(const qulo_key *key, const uint8_t *sumtable, int64_t count,
                           const uint8_t *const *src, const int64_t *src_len,
                           uint8_t *const *out, const int64_t *out_capacity, int64_t *result);
int64_t qulo_batch_encrypt_native_endian(const qulo_key *key, const uint8_t *sumtable,
                                         int64_t count, const uint8_t *const *src,
                                         const int64_t *src_len, uint8_t *const *out,
                                         const int64_t *out_capacity, int64_t *result);
int64_t qulo_batch_decrypt_native_endian(const qulo_key *key, const uint8_t *sumtable,
                                         int64_t count, const uint8_t *const *src,
                                         const int64_t *src_len, uint8_t *const *out,
                                         const int64_t *out_capacity, int64_t *result);

/*
 * Any operation: the same, with `op` naming it. result[i] is what qulo_run
 * gives message i (its length, or its status, not -1), with the same effect
 * on out[i]; with op->verify a refused check gives QULO_E_CHECK and leaves
 * that message's plaintext written. Returns the number of messages with a
 * negative result, or a negative status for a refused call, which writes
 * nothing: QULO_E_NULL for a null op, QULO_E_ARGUMENT for count < 0 or an
 * unknown direction or order, QULO_E_STATE when no kernel can run.
 */
int64_t qulo_batch_run(const qulo_key *key, const qulo_op *op, int64_t count,
                       const uint8_t *const *src, const int64_t *src_len, uint8_t *const *out,
                       const int64_t *out_capacity, int64_t *result);

/*
 * The same as qulo_batch_run, except that a decrypted plaintext is left
 * where the blocks put it: message i's plaintext of result[i] bytes starts
 * at out[i] + start[i]. start[i] is written for every message: 0 for a
 * ciphertext and for a plaintext already at the front (a message that
 * overlaps its own output goes through qulo_run), otherwise 3 to 10, the
 * header and its fill before it; a failed check leaves the blocks as they
 * were decrypted. A caller that packs plaintexts one after another (a
 * column) then moves each of them once. QULO_E_NULL for a null start.
 */
int64_t qulo_batch_run_placed(const qulo_key *key, const qulo_op *op, int64_t count,
                              const uint8_t *const *src, const int64_t *src_len,
                              uint8_t *const *out, const int64_t *out_capacity, int64_t *result,
                              int64_t *start);

/*
 * Kernels: on x86-64 "avx512" (AVX-512 F, BW and VL; 64 lanes, or on a
 * CPU with full-width 512-bit units, such as AMD's Zen 5, 128 for a call
 * with 128 messages or more left to the lanes) and "avx2" (32 lanes);
 * on AArch64 "neon" (every such CPU; 16 lanes); everywhere "scalar"
 * (portable, four messages interleaved). All give the same bytes; they
 * differ only in speed. Lanes only pay when they are filled: a call with
 * fewer messages than lanes leaves the rest idle. A lane whose message ends
 * takes the next: the messages are taken 256 at a time (the call's last 256
 * last), each 256 longest first, or in the caller's order when they are all
 * of one size, so that lanes that end together take messages that end
 * together again, and run out of work together; result[i] and out[i] are
 * message i's whatever order the lanes take them in.
 *
 * The kernel is chosen once, on the first batch call or kernel query of the
 * process: the environment variable QULO_BATCH_KERNEL, when set and not
 * empty, names it; otherwise the fastest one this CPU can run. A name that
 * is unknown, or a kernel this CPU cannot run, is refused: no kernel is in
 * use then, every batch call returns -1, and qulo_batch_kernel_error()
 * says why. There is no silent fallback.
 */

/* The name of the kernel in use, or NULL when the environment's choice was
 * refused. */
const char *qulo_batch_kernel(void);

/* Why no kernel is in use: a sentence naming the variable, its value
 * (escaped, so that the sentence is ASCII, and cut with "..." when long) and
 * the kernels this CPU can run. Written as snprintf writes: at most size - 1
 * characters and a terminating zero into buf (nothing when size is 0), and
 * returns the length of the whole sentence. Returns 0 and writes "" when a
 * kernel is in use. */
size_t qulo_batch_kernel_error(char *buf, size_t size);

/* Function-pointer types of the batch entry points, as published in
 * capsules. */
typedef int64_t (*qulo_batch_qq_fn)(const qulo_key *, int64_t, const uint8_t *const *,
                                    const int64_t *, uint8_t *const *, const int64_t *,
                                    int64_t *);
typedef int64_t (*qulo_batch_table_fn)(const qulo_key *, const uint8_t *, int64_t,
                                       const uint8_t *const *, const int64_t *,
                                       uint8_t *const *, const int64_t *, int64_t *);
typedef const char *(*qulo_batch_kernel_fn)(void);

#ifdef __cplusplus
}
#endif

#endif /* QULO_BATCH_H */
