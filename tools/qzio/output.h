// Standard output treated as coreutils treat it: what did not reach its
// file is a failure, told once at exit with the system's text.
#pragma once

namespace qzio {

// False once a write to standard output has failed; commands that stream
// stop reading then.
bool output_ok();
// Flushes standard output now (before a message on standard error, say);
// false when that fails, whose reason finish_output then tells.
bool flush_output();
// Flushes and closes standard output. Returns `status` when everything
// written reached it; else prints "qzio: write error: TEXT" and returns 1.
// A reader that went away (EPIPE) ends it quietly, with status 1.
int finish_output(int status);

} // namespace qzio
