/* A host of the installed library, built only from the installed headers and
 * pkg-config files: it loads the extension as the kernel does, writes and
 * reads a text file through a handle's words, formats a number with the
 * exported formatter, and ends with nothing left behind. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qzioe/fileio.h"
#include "qzioe/format.h"
#include "qzkernel/standin.h"

static int fail(const char *what, QZStatus status) {
  fprintf(stderr, "host: %s: %s (0x%08x)\n", what, qzk_status_name(status), status);
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  QZHandle *kernel = qzk_kernel_create(NULL);
  char error[256] = "";
  QZKLoaded *loaded = NULL;
  QZIOEExtension *ext = qzk_load(kernel, argv[1], 0, &loaded, error, sizeof error);
  if (ext == NULL) {
    fprintf(stderr, "host: cannot load %s: %s\n", argv[1], error);
    return 1;
  }
  QZChar path[512];
  const size_t length = strlen(argv[2]);
  for (size_t i = 0; i < length; ++i)
    path[i] = (unsigned char)argv[2][i];

  QZIOEOpenOptions options;
  memset(&options, 0, sizeof options);
  options.open_mode = QZIOE_MODE_OUTPUT;
  options.buffered = 1;
  options.record_length = 256;
  options.record_format = QZIOE_FORMAT_VARIABLE;
  options.file_encoding = QZ_ENC_UTF8;
  QZStatus status = 0;
  QZIOEFile *file = ext->open(ext, path, (int32_t)length, &options, 0, 0, "host", &status);
  if (file == NULL) return fail("open for output", status);
  const QZChar line[] = {'h', 0xe9, 'l', 'l', 'o'};
  if ((status = file->write(file, line, sizeof line, 0, NULL)) != 0) return fail("write", status);
  if ((status = file->close(file)) != 0) return fail("close", status);

  options.open_mode = QZIOE_MODE_INPUT;
  file = ext->open(ext, path, (int32_t)length, &options, 0, 0, "host", &status);
  if (file == NULL) return fail("open for input", status);
  void *address = NULL;
  uint32_t got = 0;
  if ((status = file->read(file, &address, &got, 0, NULL)) != 0) return fail("read", status);
  if (got != sizeof line || memcmp(address, line, sizeof line) != 0) {
    fprintf(stderr, "host: the line read back differs\n");
    return 1;
  }
  if ((status = file->close(file)) != 0) return fail("close", status);

  const QZChar format[] = {'%', '.', '3', 'e'};
  QZChar out[32];
  uint32_t produced = 0;
  status = qzzFormatBuff(NULL, format, 4, out, 32, &produced, 1234.5678);
  if (status != 0) return fail("format", status);
  char text[33];
  for (uint32_t i = 0; i < produced; ++i)
    text[i] = (char)out[i];
  text[produced] = '\0';
  printf("%s\n", text);

  ext->destroy(ext);
  QZKStats stats;
  qzk_stats(kernel, &stats);
  qzk_unload(loaded);
  qzk_kernel_destroy(kernel);
  if (stats.pools || stats.blocks || stats.locks || stats.lists || stats.transcoders ||
      stats.extensions || stats.descriptors || stats.misuses) {
    fprintf(stderr, "host: something was left behind\n");
    return 1;
  }
  return 0;
}
