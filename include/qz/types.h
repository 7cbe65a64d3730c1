/* Basic types shared by the QZ kernel, its extensions and this library. */
#ifndef QZ_TYPES_H
#define QZ_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define QZ_EXTERN_C_BEGIN extern "C" {
#define QZ_EXTERN_C_END }
#define QZ_NOEXCEPT noexcept
#define QZ_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define QZ_EXTERN_C_BEGIN
#define QZ_EXTERN_C_END
#define QZ_NOEXCEPT
#define QZ_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Marks a function or object that the library exports; the linker's version
 * script decides what finally stays visible. */
#define QZ_EXPORT __attribute__((visibility("default")))

/* One 32-bit character code unit; strings carry an explicit length. */
typedef uint32_t QZChar;

/* 0 is success; every failure code has the top bit set. */
typedef uint32_t QZStatus;

/* One machine word of a kernel record: 32 bits in the primary build. */
typedef uintptr_t QZWord;

/* Heads the extension object, every file handle and every directory handle
 * (bytes 6E 65 76 6F). */
#define QZ_OBJECT_MAGIC 0x6f76656eu

/* Byte offsets of kernel records are fixed for the 32-bit build; the 64-bit
 * build keeps the same field order with wider pointers. */
#if UINTPTR_MAX == 0xffffffffu
#define QZ_LAYOUT_32 1
#define QZ_CHECK_OFFSET(type, field, offset)                                                       \
  QZ_STATIC_ASSERT(offsetof(type, field) == (offset), #type "." #field " must be at "              \
                                                                       "byte " #offset)
#define QZ_CHECK_SIZE(type, size)                                                                  \
  QZ_STATIC_ASSERT(sizeof(type) == (size), #type " must be " #size " bytes")
#else
#define QZ_LAYOUT_32 0
#define QZ_CHECK_OFFSET(type, field, offset)                                                       \
  QZ_STATIC_ASSERT(1, "layout checked in the 32-bit build")
#define QZ_CHECK_SIZE(type, size) QZ_STATIC_ASSERT(1, "layout checked in the 32-bit build")
#endif

#endif
