/* Status codes produced by the extension and its support library. */
#ifndef QZ_STATUS_H
#define QZ_STATUS_H

#include "qz/types.h"

#define QZ_OK ((QZStatus)0)

/* True for every failure code (top bit set). */
#define QZ_FAILED(status) (((status)&0x80000000u) != 0)

/* Kernel support library. */
#define QZS_NO_MEMORY ((QZStatus)0x803fc002u)
#define QZS_BAD_VALUE ((QZStatus)0x803fc003u)
#define QZS_UNSUPPORTED ((QZStatus)0x803fc004u)
#define QZS_BAD_ARGUMENT_NUMBER ((QZStatus)0x803fc009u)
#define QZS_BUFFER_TOO_SMALL ((QZStatus)0x803fc0c9u)

/* File services. */
#define QZIOE_NOT_FOUND ((QZStatus)0x80bfe801u)
#define QZIOE_NO_ACCESS ((QZStatus)0x80bfe803u)
#define QZIOE_BAD_OPTIONS ((QZStatus)0x80bfe804u)
#define QZIOE_BAD_MEMBER_NAME ((QZStatus)0x80bfe805u)
#define QZIOE_IN_USE ((QZStatus)0x80bfe807u)
#define QZIOE_FAILED ((QZStatus)0x80bfe808u)
#define QZIOE_END_OF_FILE ((QZStatus)0x80bfe80au)
#define QZIOE_READ_ONLY ((QZStatus)0x80bfe80bu)
#define QZIOE_OPEN_REFUSED ((QZStatus)0x80bfe80du)
#define QZIOE_BAD_HANDLE ((QZStatus)0x80bfe80eu)
/* Not a failure of the call: the record came in part, the rest follows. */
#define QZIOE_RECORD_SPLIT ((QZStatus)0x80bfe80fu)
#define QZIOE_BAD_FORMAT ((QZStatus)0x80bfe810u)
#define QZIOE_NO_SPACE ((QZStatus)0x80bfe811u)
#define QZIOE_NAME_TOO_LONG ((QZStatus)0x80bfe812u)
#define QZIOE_BAD_NAME ((QZStatus)0x80bfe813u)
#define QZIOE_NOT_SUPPORTED ((QZStatus)0x80bfe814u)
#define QZIOE_IO_ERROR ((QZStatus)0x80bfe815u)
#define QZIOE_PATH_NOT_FOUND ((QZStatus)0x80bfe816u)
#define QZIOE_BAD_MODE ((QZStatus)0x80bfe819u)
#define QZIOE_BAD_BUFFERING ((QZStatus)0x80bfe81au)
#define QZIOE_LENGTH_TOO_BIG ((QZStatus)0x80bfe81bu)
#define QZIOE_BAD_SWITCH ((QZStatus)0x80bfe81cu)
#define QZIOE_NOT_EMPTY ((QZStatus)0x80bfe81du)
#define QZIOE_EXISTS ((QZStatus)0x80bfe81eu)
#define QZIOE_NAME_BUFFER_TOO_SMALL ((QZStatus)0x80bfe820u)
#define QZIOE_BAD_LOCK_OPTION ((QZStatus)0x80bfe824u)
#define QZIOE_NO_MEMBER ((QZStatus)0x80bfe825u)
#define QZIOE_EMPTY_LISTING ((QZStatus)0x80bfe826u)

/* Open statuses of the file-system extension qzfsx, as the POSIX layer
 * receives them before translation. */
#define QZFSX_NO_MEMORY ((QZStatus)0x80ffe001u)
#define QZFSX_NOT_FOUND ((QZStatus)0x80ffe006u)
#define QZFSX_PATH_NOT_FOUND ((QZStatus)0x80ffe007u)
#define QZFSX_NO_ACCESS ((QZStatus)0x80ffe009u)
#define QZFSX_REFUSED ((QZStatus)0x80ffe00eu)
#define QZFSX_IN_USE ((QZStatus)0x80ffe00fu)
#define QZFSX_IN_USE_LAST ((QZStatus)0x80ffe013u)
#define QZFSX_BUSY ((QZStatus)0x80ffe016u)

/* Journal severity of operating-system error reports. */
#define QZ_SEVERITY_ERROR 4u

#endif
