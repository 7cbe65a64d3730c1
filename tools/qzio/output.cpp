#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qzio {

namespace {

// The reason of the first flush that failed: the C library may drop the
// bytes it could not write, and a later flush then has nothing to fail on.
int first_error = 0;

} // namespace

bool output_ok() {
  if (std::ferror(stdout) == 0) return true;
  // Seen right after the write that failed: errno still says why.
  if (first_error == 0) first_error = errno != 0 ? errno : EIO;
  return false;
}

bool flush_output() {
  if (std::fflush(stdout) == 0) return true;
  if (first_error == 0) first_error = errno;
  return false;
}

int finish_output(int status) {
  const bool failed_before = std::ferror(stdout) != 0;
  const bool pending = !flush_output();
  int error = first_error;
  if (std::fclose(stdout) != 0 && error == 0 && errno != EBADF) error = errno;
  if (!failed_before && !pending && error == 0) return status;
  if (error == EPIPE) return 1;
  if (error != 0)
    std::fprintf(stderr, "qzio: write error: %s\n", std::strerror(error));
  else
    std::fprintf(stderr, "qzio: write error\n");
  return 1;
}

} // namespace qzio
