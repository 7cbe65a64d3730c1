/* The kernel's support library: atomics, the lock-free stack, and string,
 * memory, time and byte-order primitives. All of them are reentrant, keep no
 * state and take no lock. Argument orders differ between functions and are
 * part of the interface: copies take the source first, skMemSet the
 * destination first, skMemNot the value first, scanners the value last. */
#ifndef QZIOE_RUNTIME_H
#define QZIOE_RUNTIME_H

#include "qz/kernel.h"
#include "qz/status.h"

QZ_EXTERN_C_BEGIN

/* Atomic operations on an aligned 32-bit cell; each read-modify-write is a
 * locked instruction and a full barrier. Init and Destroy are plain stores
 * that must not race. */
QZ_EXPORT int32_t qzAtomicInit(volatile int32_t *cell, int32_t value) QZ_NOEXCEPT;
QZ_EXPORT int32_t qzAtomicDestroy(volatile int32_t *cell) QZ_NOEXCEPT;
/* 1 if the cell held `expected` and now holds `replacement`, else 0. */
QZ_EXPORT int32_t qzAtomicSet(volatile int32_t *cell, int32_t expected,
                              int32_t replacement) QZ_NOEXCEPT;
/* These return the new value of the cell. */
QZ_EXPORT int32_t qzAtomicAdd(volatile int32_t *cell, int32_t delta) QZ_NOEXCEPT;
QZ_EXPORT int32_t qzAtomicAnd(volatile int32_t *cell, int32_t mask) QZ_NOEXCEPT;
QZ_EXPORT int32_t qzAtomicOr(volatile int32_t *cell, int32_t mask) QZ_NOEXCEPT;

/* Lock-free stack of caller-owned nodes linked through a pointer-sized field
 * at `link_offset`. Nodes must be at least 2-byte aligned: bit 0 of the head
 * marks a pop in progress. Push returns the previous top; pop returns the
 * node taken or null. */
QZ_EXPORT void *qzAStackPush(void *volatile *head, void *node, uint32_t link_offset) QZ_NOEXCEPT;
QZ_EXPORT void *qzAStackPop(void *volatile *head, uint32_t link_offset) QZ_NOEXCEPT;

/* Byte strings and memory. */
QZ_EXPORT uint32_t skStrLen(const char *string) QZ_NOEXCEPT;
QZ_EXPORT void skStrCpy(const char *source, char *destination) QZ_NOEXCEPT;
QZ_EXPORT void skStrUp(char *buffer, uint32_t length) QZ_NOEXCEPT;
QZ_EXPORT int32_t skMemNot(int32_t value, const void *data, uint32_t length) QZ_NOEXCEPT;
QZ_EXPORT void skMemSet(void *destination, int32_t value, uint32_t length) QZ_NOEXCEPT;
QZ_EXPORT int32_t skMemCmp(const void *first, const void *second, uint32_t length) QZ_NOEXCEPT;
QZ_EXPORT void skMemCpy(const void *source, void *destination, uint32_t length) QZ_NOEXCEPT;
QZ_EXPORT void *skMemSCpy(const void *source, void *destination, uint32_t length) QZ_NOEXCEPT;
/* A copy of `length` bytes in a new block of `pool` (flags 0), or null. */
QZ_EXPORT void *skMemDup(const void *source, uint32_t length, QZPool *pool) QZ_NOEXCEPT;
QZ_EXPORT int32_t skMemScan(const void *data, uint32_t length, int32_t value) QZ_NOEXCEPT;
QZ_EXPORT int32_t skMemNScan(const void *data, uint32_t length, int32_t value) QZ_NOEXCEPT;
QZ_EXPORT QZStatus qzzbytrv(void *buffer, uint32_t length) QZ_NOEXCEPT;

/* QZChar strings and memory. */
QZ_EXPORT uint32_t skStrTLen(const QZChar *string) QZ_NOEXCEPT;
QZ_EXPORT void skStrTCpy(const QZChar *source, QZChar *destination) QZ_NOEXCEPT;
QZ_EXPORT int32_t skMemTNot(QZChar value, const QZChar *data, uint32_t count) QZ_NOEXCEPT;
QZ_EXPORT void skMemTSet(QZChar *destination, QZChar value, uint32_t count) QZ_NOEXCEPT;
QZ_EXPORT int32_t skWMemCmp(const QZChar *first, const QZChar *second, uint32_t count) QZ_NOEXCEPT;
QZ_EXPORT int32_t skMemTNScan(const QZChar *data, uint32_t count, QZChar value) QZ_NOEXCEPT;
QZ_EXPORT void qzztchrv(QZChar *buffer, uint32_t count) QZ_NOEXCEPT;

/* Always QZS_UNSUPPORTED. */
QZ_EXPORT QZStatus skUnsup(void) QZ_NOEXCEPT;

/* 1 if any element's top 16 bits are all ones (a missing value). */
QZ_EXPORT int32_t skMissArray(const double *array, uint32_t count) QZ_NOEXCEPT;

/* Seconds since 1970-01-01 GMT, microsecond fraction. */
QZ_EXPORT double bkztod(void) QZ_NOEXCEPT;
/* Seconds since 1960-01-01 GMT; `offset` (may be null) receives the seconds
 * to add to GMT for local time. */
QZ_EXPORT double qzzdtgmt(double *offset) QZ_NOEXCEPT;
/* Local hour, minute and seconds (with microseconds). Always 0. */
QZ_EXPORT QZStatus qzztime(int32_t *hour, int32_t *minute, double *seconds) QZ_NOEXCEPT;

/* Seconds from 1960-01-01 to 1970-01-01. */
#define QZ_EPOCH_1960_TO_1970 315619200.0

QZ_EXTERN_C_END

#endif
