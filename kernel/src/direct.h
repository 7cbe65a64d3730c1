// Conversions between the Unicode forms and ISO-8859-1 without iconv: the
// whole source with iconv's bytes, or a failure (QZK_BAD_SEQUENCE for an
// invalid or incomplete sequence, QZK_BUFFER_TOO_SMALL when the target is
// full), never a byte past the capacity. Which of the two failures iconv
// names when a call has both depends on its internal steps, so a failing
// call is handed to iconv to say.
#pragma once

#include <cstdint>

#include "qz/status.h"

namespace qzk {

enum class Form : uint8_t { none, utf8, utf16le, utf16be, utf32le, utf32be, latin1 };

// The form behind an iconv name, or Form::none (iconv then converts).
Form FormOf(const char *iconv_name);

using DirectConversion = QZStatus (*)(Form from, Form to, const uint8_t *source,
                                      uint32_t source_bytes, uint8_t *target, uint32_t capacity,
                                      uint32_t *produced);

// Vector instructions a conversion may use, each level with the ones below.
enum class Vectors : uint8_t { none, sse2, ssse3 };
// The best level this processor has.
Vectors ProcessorVectors();

// The conversion for that pair with those instructions, picked once when a
// transcoder is made; null when iconv converts.
DirectConversion DirectConversionFor(Form from, Form to, Vectors vectors);

} // namespace qzk
