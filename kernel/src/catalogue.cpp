// The message catalogue: a name and a one-line text for every status the
// extension and this kernel produce. Texts may hold placeholders that the
// journal fills from its further arguments: %s bytes, %T zero-terminated
// QZChar text, %S QZChar pointer and length, %u, %d, %x.
#include "internal.h"

namespace qzk {

namespace {

struct Message {
  QZStatus status;
  const char *name;
  const char *text;
};

constexpr Message kCatalogue[] = {
    {QZ_OK, "QZ_OK", "success"},
    {QZS_NO_MEMORY, "QZS_NO_MEMORY", "memory could not be obtained"},
    {QZS_BAD_VALUE, "QZS_BAD_VALUE", "an argument is outside its accepted values"},
    {QZS_UNSUPPORTED, "QZS_UNSUPPORTED", "the operation is not supported"},
    {QZS_BAD_ARGUMENT_NUMBER, "QZS_BAD_ARGUMENT_NUMBER", "a format directive names a bad argument"},
    {QZS_BUFFER_TOO_SMALL, "QZS_BUFFER_TOO_SMALL", "the formatted output does not fit"},
    {QZIOE_NOT_FOUND, "QZIOE_NOT_FOUND", "the file or directory does not exist"},
    {QZIOE_NO_ACCESS, "QZIOE_NO_ACCESS", "access denied or read-only file system"},
    {QZIOE_BAD_OPTIONS, "QZIOE_BAD_OPTIONS", "the options do not go together"},
    {QZIOE_BAD_MEMBER_NAME, "QZIOE_BAD_MEMBER_NAME", "the member name is missing or empty"},
    {QZIOE_IN_USE, "QZIOE_IN_USE", "the file is busy or locked by another user"},
    {QZIOE_FAILED, "QZIOE_FAILED", "the operation failed"},
    {QZIOE_END_OF_FILE, "QZIOE_END_OF_FILE", "end of file"},
    {QZIOE_READ_ONLY, "QZIOE_READ_ONLY", "the handle is open for input only"},
    {QZIOE_OPEN_REFUSED, "QZIOE_OPEN_REFUSED", "the open was refused"},
    {QZIOE_BAD_HANDLE, "QZIOE_BAD_HANDLE", "a required handle is missing or bad"},
    {QZIOE_RECORD_SPLIT, "QZIOE_RECORD_SPLIT", "the record continues in the next read"},
    {QZIOE_BAD_FORMAT, "QZIOE_BAD_FORMAT", "the record format is not supported"},
    {QZIOE_NO_SPACE, "QZIOE_NO_SPACE", "no space left"},
    {QZIOE_NAME_TOO_LONG, "QZIOE_NAME_TOO_LONG", "the name is too long"},
    {QZIOE_BAD_NAME, "QZIOE_BAD_NAME", "the name is missing or empty"},
    {QZIOE_NOT_SUPPORTED, "QZIOE_NOT_SUPPORTED", "not available for this handle or device"},
    {QZIOE_IO_ERROR, "QZIOE_IO_ERROR", "system error: %T"},
    {QZIOE_PATH_NOT_FOUND, "QZIOE_PATH_NOT_FOUND", "a directory on the path does not exist"},
    {QZIOE_BAD_MODE, "QZIOE_BAD_MODE", "the open mode is out of range"},
    {QZIOE_BAD_BUFFERING, "QZIOE_BAD_BUFFERING", "the buffering choice is out of range"},
    {QZIOE_LENGTH_TOO_BIG, "QZIOE_LENGTH_TOO_BIG", "the request is longer than the record length"},
    {QZIOE_BAD_SWITCH, "QZIOE_BAD_SWITCH", "the auxiliary switch is out of range"},
    {QZIOE_NOT_EMPTY, "QZIOE_NOT_EMPTY", "the directory is not empty"},
    {QZIOE_EXISTS, "QZIOE_EXISTS", "the target already exists"},
    {QZIOE_NAME_BUFFER_TOO_SMALL, "QZIOE_NAME_BUFFER_TOO_SMALL",
     "the name does not fit in the buffer"},
    {QZIOE_BAD_LOCK_OPTION, "QZIOE_BAD_LOCK_OPTION", "the lock option is out of range"},
    {QZIOE_NO_MEMBER, "QZIOE_NO_MEMBER", "the path has no member name"},
    {QZIOE_EMPTY_LISTING, "QZIOE_EMPTY_LISTING", "the listing is empty"},
    {QZFSX_NO_MEMORY, "QZFSX_NO_MEMORY", "qzfsx: out of memory"},
    {QZFSX_NOT_FOUND, "QZFSX_NOT_FOUND", "qzfsx: the file does not exist"},
    {QZFSX_PATH_NOT_FOUND, "QZFSX_PATH_NOT_FOUND", "qzfsx: a directory on the path does not exist"},
    {QZFSX_NO_ACCESS, "QZFSX_NO_ACCESS", "qzfsx: access denied"},
    {QZFSX_REFUSED, "QZFSX_REFUSED", "qzfsx: the open was refused"},
    {QZFSX_IN_USE, "QZFSX_IN_USE", "qzfsx: the file is locked by another user"},
    {QZFSX_IN_USE_LAST, "QZFSX_IN_USE_LAST", "qzfsx: the file is in use"},
    {QZFSX_BUSY, "QZFSX_BUSY", "qzfsx: the file is busy"},
    {QZFSX_FAILED, "QZFSX_FAILED", "qzfsx: the open failed"},
    {QZK_BAD_ARGUMENT, "QZK_BAD_ARGUMENT", "kernel: bad argument"},
    {QZK_NO_MEMORY, "QZK_NO_MEMORY", "kernel: out of memory"},
    {QZK_BUFFER_TOO_SMALL, "QZK_BUFFER_TOO_SMALL", "kernel: the result does not fit"},
    {QZK_BAD_SEQUENCE, "QZK_BAD_SEQUENCE", "kernel: invalid or incomplete character sequence"},
    {QZK_UNKNOWN_ENCODING, "QZK_UNKNOWN_ENCODING", "kernel: unknown encoding"},
    {QZK_NO_SUCH_VALUE, "QZK_NO_SUCH_VALUE", "kernel: no such named value"},
    {QZK_LOCK_FAILED, "QZK_LOCK_FAILED", "kernel: the lock could not be acquired"},
    {QZK_INJECTED, "QZK_INJECTED", "kernel: injected fault"},
};

const Message *Lookup(QZStatus status) {
  for (const Message &message : kCatalogue)
    if (message.status == status) return &message;
  return nullptr;
}

} // namespace

const char *CatalogueName(QZStatus status) {
  const Message *message = Lookup(status);
  return message != nullptr ? message->name : nullptr;
}

const char *CatalogueText(QZStatus status) {
  const Message *message = Lookup(status);
  return message != nullptr ? message->text : nullptr;
}

} // namespace qzk

extern "C" {

QZ_EXPORT const char *qzk_status_name(QZStatus status) {
  const char *name = qzk::CatalogueName(status);
  return name != nullptr ? name : "unknown status";
}

QZ_EXPORT const char *qzk_status_text(QZStatus status) {
  const char *text = qzk::CatalogueText(status);
  return text != nullptr ? text : "unknown status";
}

} // extern "C"
