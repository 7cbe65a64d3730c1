// National-language support on top of iconv.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>

#include "direct.h"
#include "internal.h"

namespace qzk {

namespace {

struct FixedEncoding {
  uint32_t id;
  const char *iconv_name;
  uint32_t unit_bytes;
  uint32_t min_bytes;
  int8_t max_bytes;
};

// Encoding 62 is filled in per kernel: its iconv name is an option.
constexpr FixedEncoding kFixedEncodings[] = {
    {QZ_ENC_UTF32LE, "UTF-32LE", 4, 4, 4}, {QZ_ENC_UTF8, "UTF-8", 1, 1, 4},
    {QZ_ENC_UTF16BE, "UTF-16BE", 2, 2, 4}, // 4: a surrogate pair
    {QZ_ENC_UTF16LE, "UTF-16LE", 2, 2, 4}, {QZ_ENC_UTF32BE, "UTF-32BE", 4, 4, 4},
};
constexpr size_t kEncodingCount = std::size(kFixedEncodings) + 1;

// Code-unit widths of an operating-system encoding, from its name. Anything
// not recognised as Unicode or a multi-byte legacy set is one byte per
// character, as the ISO-8859, Windows and DOS code pages are.
void OsWidths(const std::string &iconv_name, QZEncodingInfo &info) {
  std::string key;
  for (char c : iconv_name)
    if (std::isalnum(static_cast<unsigned char>(c)))
      key.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  auto starts = [&key](const char *prefix) { return key.rfind(prefix, 0) == 0; };
  info.unit_bytes = 1;
  info.min_bytes = 1;
  info.max_bytes = 1;
  if (starts("UTF8")) {
    info.max_bytes = 4;
  } else if (starts("UTF16") || starts("UCS2")) {
    info.unit_bytes = info.min_bytes = 2;
    info.max_bytes = 4;
  } else if (starts("UTF32") || starts("UCS4")) {
    info.unit_bytes = info.min_bytes = 4;
    info.max_bytes = 4;
  } else if (starts("GB18030") || starts("EUC") || starts("SHIFTJIS") || starts("SJIS") ||
             starts("BIG5") || starts("GBK") || starts("CP932") || starts("CP936") ||
             starts("CP949") || starts("CP950")) {
    info.max_bytes = 4;
  }
}

} // namespace

struct Nls : QZNls {
  Kernel *kernel = nullptr;
  QZEncodingInfo infos[kEncodingCount] = {};
  std::string os_name;
};

static_assert(static_cast<int>(Vectors::sse2) == QZK_VECTORS_SSE2 &&
              static_cast<int>(Vectors::ssse3) == QZK_VECTORS_SSSE3);

struct Transcoder : QZTranscoder {
  Kernel *kernel = nullptr;
  bool counted = true; // false for the kernel's own (word 46)
  QZWord context = 0;
  std::mutex mutex;
  iconv_t converter = reinterpret_cast<iconv_t>(-1);
  // Set: converted without iconv (and without its lock) unless that fails.
  DirectConversion direct = nullptr;
  Form from_form = Form::none;
  Form to_form = Form::none;
};

namespace {

Nls *FindNls(QZNls *nls) {
  return Find<Nls>(nls, Kind::Nls);
}

const QZEncodingInfo *InfoOf(const Nls *nls, uint32_t encoding) {
  if (encoding == 0) return nullptr;
  for (const QZEncodingInfo &info : nls->infos)
    if (info.id == encoding) return &info;
  return nullptr;
}

iconv_t OpenConverter(const Nls *nls, uint32_t from, uint32_t to) {
  const QZEncodingInfo *source = InfoOf(nls, from);
  const QZEncodingInfo *target = InfoOf(nls, to);
  if (source == nullptr || target == nullptr) return reinterpret_cast<iconv_t>(-1);
  return iconv_open(target->name, source->name);
}

bool IsOpen(iconv_t converter) {
  return converter != reinterpret_cast<iconv_t>(-1);
}

QZStatus ConvertStatus(int error) {
  return error == E2BIG ? QZK_BUFFER_TOO_SMALL : QZK_BAD_SEQUENCE;
}

Transcoder *FindTranscoder(QZTranscoder *transcoder) {
  return Find<Transcoder>(transcoder, Kind::Transcoder);
}

// Converts the whole source or fails. The converter starts from its initial
// state on every call, so one failed call does not leak into the next.
QZStatus Convert(QZTranscoder *public_transcoder, const void *source, uint32_t source_bytes,
                 void *target, uint32_t capacity, uint32_t *produced, QZWord zero) {
  (void)zero;
  Transcoder *transcoder = FindTranscoder(public_transcoder);
  if (transcoder == nullptr) {
    Misuse(nullptr, "convert: %p is not a live transcoder", static_cast<void *>(public_transcoder));
    return QZK_BAD_ARGUMENT;
  }
  if (Inject(transcoder->kernel, QZK_FAULT_CONVERT)) return QZK_INJECTED;
  if (source_bytes == 0) {
    if (produced != nullptr) *produced = 0;
    return QZ_OK;
  }
  if (source == nullptr || (target == nullptr && capacity != 0)) {
    Misuse(transcoder->kernel, "convert %u to %u: null source or target", transcoder->from,
           transcoder->to);
    return QZK_BAD_ARGUMENT;
  }
  if (transcoder->direct != nullptr &&
      transcoder->direct(transcoder->from_form, transcoder->to_form,
                         static_cast<const uint8_t *>(source), source_bytes,
                         static_cast<uint8_t *>(target), capacity, produced) == QZ_OK)
    return QZ_OK;
  char scratch = 0; // stands in for a null target of capacity 0
  char *in = const_cast<char *>(static_cast<const char *>(source));
  size_t in_left = source_bytes;
  char *out = target != nullptr ? static_cast<char *>(target) : &scratch;
  size_t out_left = capacity;
  std::lock_guard guard(transcoder->mutex);
  iconv(transcoder->converter, nullptr, nullptr, nullptr, nullptr);
  if (iconv(transcoder->converter, &in, &in_left, &out, &out_left) == static_cast<size_t>(-1))
    return ConvertStatus(errno);
  // Stateful encodings may owe a shift back to the initial state.
  if (iconv(transcoder->converter, nullptr, nullptr, &out, &out_left) == static_cast<size_t>(-1))
    return ConvertStatus(errno);
  if (produced != nullptr) *produced = capacity - static_cast<uint32_t>(out_left);
  return QZ_OK;
}

QZStatus DestroyTranscoder(QZTranscoder *public_transcoder) {
  Transcoder *transcoder = FindTranscoder(public_transcoder);
  if (transcoder == nullptr) {
    Misuse(nullptr, "transcoder destroy: %p is not a live transcoder",
           static_cast<void *>(public_transcoder));
    return QZK_BAD_ARGUMENT;
  }
  if (!transcoder->counted) {
    Misuse(transcoder->kernel, "transcoder destroy: the kernel's own transcoder is not yours");
    return QZK_BAD_ARGUMENT;
  }
  if (!Take(public_transcoder, Kind::Transcoder)) {
    Misuse(nullptr, "transcoder destroy: %p is not a live transcoder",
           static_cast<void *>(public_transcoder));
    return QZK_BAD_ARGUMENT;
  }
  {
    std::lock_guard guard(transcoder->kernel->objects_mutex);
    transcoder->kernel->live_transcoders.erase(transcoder);
  }
  DestroyTranscoderNow(transcoder);
  return QZ_OK;
}

constexpr QZTranscoderMethods kTranscoderMethods = {{}, DestroyTranscoder};

Transcoder *NewTranscoder(Nls *nls, uint32_t from, uint32_t to, QZWord context, bool counted) {
  Kernel *kernel = nls->kernel;
  iconv_t converter = OpenConverter(nls, from, to);
  if (!IsOpen(converter)) return nullptr;
  Transcoder *transcoder = new (std::nothrow) Transcoder;
  if (transcoder == nullptr) {
    iconv_close(converter);
    return nullptr;
  }
  QZTranscoder &head = *transcoder;
  std::memset(&head, 0, sizeof head);
  head.magic = QZ_OBJECT_MAGIC;
  head.from = from;
  head.to = to;
  head.methods = &kTranscoderMethods;
  head.convert = Convert;
  transcoder->kernel = kernel;
  transcoder->counted = counted;
  transcoder->context = context;
  transcoder->converter = converter;
  if (const QZEncodingInfo *source = InfoOf(nls, from), *target = InfoOf(nls, to);
      source != nullptr && target != nullptr) {
    transcoder->from_form = FormOf(source->name);
    transcoder->to_form = FormOf(target->name);
    const auto limit = static_cast<Vectors>(kernel->vector_limit.load());
    transcoder->direct = DirectConversionFor(transcoder->from_form, transcoder->to_form,
                                             std::min(limit, ProcessorVectors()));
  }
  if (counted) {
    {
      std::lock_guard guard(kernel->objects_mutex);
      kernel->live_transcoders.insert(transcoder);
    }
    kernel->transcoders.fetch_add(1);
    RecordCreation(kernel, QZK_OBJECT_TRANSCODER, nullptr, context, from, to);
  }
  Register(&head, Kind::Transcoder, kernel);
  return transcoder;
}

// Transcoders that callers own: counted, subject to fault injection and to
// the refused pairs.
QZTranscoder *CreateCounted(Nls *nls, uint32_t from, uint32_t to, QZWord context) {
  Kernel *kernel = nls->kernel;
  if (Inject(kernel, QZK_FAULT_ALLOCATION)) return nullptr;
  {
    std::lock_guard guard(kernel->settings_mutex);
    if (kernel->refused_pairs.count({from, to}) != 0) return nullptr;
  }
  Transcoder *transcoder = NewTranscoder(nls, from, to, context, true);
  return transcoder != nullptr ? static_cast<QZTranscoder *>(transcoder) : nullptr;
}

QZTranscoder *CreateTranscoderEntry(QZNls *public_nls, uint32_t from, uint32_t to, QZWord zero,
                                    QZWord context) {
  (void)zero;
  Nls *nls = FindNls(public_nls);
  if (nls == nullptr) {
    Misuse(nullptr, "create transcoder: %p is not an NLS object", static_cast<void *>(public_nls));
    return nullptr;
  }
  return CreateCounted(nls, from, to, context);
}

QZTranscoder *OsTranscoder(QZNls *public_nls, uint32_t encoding, bool inbound) {
  Nls *nls = FindNls(public_nls);
  if (nls == nullptr) {
    Misuse(nullptr, "os transcoder: %p is not an NLS object", static_cast<void *>(public_nls));
    return nullptr;
  }
  if (encoding != QZ_ENC_OS) {
    Misuse(nls->kernel, "os transcoder: encoding %u, only 62 is the system's", encoding);
    return nullptr;
  }
  return inbound ? CreateCounted(nls, QZ_ENC_OS, QZ_ENC_UTF32LE, 0)
                 : CreateCounted(nls, QZ_ENC_UTF32LE, QZ_ENC_OS, 0);
}

QZTranscoder *OsInbound(QZNls *nls, uint32_t encoding, QZWord, QZWord) {
  return OsTranscoder(nls, encoding, true);
}

QZTranscoder *OsOutbound(QZNls *nls, uint32_t encoding, QZWord, QZWord) {
  return OsTranscoder(nls, encoding, false);
}

// 0 stands for "the caller's default", which only the caller knows: the
// kernel cannot tell that such a pair needs no conversion, so it asks for a
// transcoder. Two equal known encodings need none.
uint32_t PairCheck(QZNls *public_nls, uint32_t from, uint32_t to) {
  if (FindNls(public_nls) == nullptr) {
    Misuse(nullptr, "pair check: %p is not an NLS object", static_cast<void *>(public_nls));
    return 0;
  }
  return from == 0 || to == 0 || from != to ? 1 : 0;
}

QZStatus EncodingInfo(QZNls *public_nls, uint32_t encoding, const QZEncodingInfo **info) {
  Nls *nls = FindNls(public_nls);
  if (nls == nullptr || info == nullptr) {
    Misuse(nls != nullptr ? nls->kernel : nullptr, "encoding info: bad NLS %p or null result",
           static_cast<void *>(public_nls));
    return QZK_BAD_ARGUMENT;
  }
  if (Inject(nls->kernel, QZK_FAULT_ENCODING_INFO)) return QZK_INJECTED;
  const QZEncodingInfo *found = InfoOf(nls, encoding);
  if (found == nullptr) return QZK_UNKNOWN_ENCODING;
  *info = found;
  return QZ_OK;
}

// Bytes the text takes in `to`, converted in pieces through a scratch area.
QZStatus TextLength(QZNls *public_nls, uint32_t from, const void *text, uint32_t bytes, uint32_t to,
                    uint32_t *size) {
  Nls *nls = FindNls(public_nls);
  if (nls == nullptr || size == nullptr || (text == nullptr && bytes != 0)) {
    Misuse(nls != nullptr ? nls->kernel : nullptr, "text length: bad NLS %p or null pointer",
           static_cast<void *>(public_nls));
    return QZK_BAD_ARGUMENT;
  }
  if (Inject(nls->kernel, QZK_FAULT_TEXT_LENGTH)) return QZK_INJECTED;
  iconv_t converter = OpenConverter(nls, from, to);
  if (!IsOpen(converter)) return QZK_UNKNOWN_ENCODING;
  char scratch[4096];
  char *in = const_cast<char *>(static_cast<const char *>(text));
  size_t in_left = bytes;
  uint64_t total = 0;
  QZStatus status = QZ_OK;
  for (bool flushing = false;;) {
    char *out = scratch;
    size_t out_left = sizeof scratch;
    const size_t rc = flushing ? iconv(converter, nullptr, nullptr, &out, &out_left)
                               : iconv(converter, &in, &in_left, &out, &out_left);
    total += sizeof scratch - out_left;
    if (rc != static_cast<size_t>(-1)) {
      if (flushing) break;
      flushing = true;
    } else if (errno != E2BIG) {
      status = QZK_BAD_SEQUENCE;
      break;
    }
  }
  iconv_close(converter);
  if (status != QZ_OK) return status;
  if (total > UINT32_MAX) return QZK_BUFFER_TOO_SMALL;
  *size = static_cast<uint32_t>(total);
  return QZ_OK;
}

} // namespace

Nls *CreateNls(Kernel *kernel, const std::string &os_encoding) {
  iconv_t probe = iconv_open("UTF-32LE", os_encoding.c_str());
  if (!IsOpen(probe)) return nullptr;
  iconv_close(probe);
  Nls *nls = new (std::nothrow) Nls;
  if (nls == nullptr) return nullptr;
  QZNls &head = *nls;
  std::memset(&head, 0, sizeof head);
  head.magic = QZ_OBJECT_MAGIC;
  head.text_length = TextLength;
  head.pair_check = PairCheck;
  head.encoding_info = EncodingInfo;
  head.create_transcoder = CreateTranscoderEntry;
  head.os_inbound = OsInbound;
  head.os_outbound = OsOutbound;
  nls->kernel = kernel;
  nls->os_name = os_encoding;
  QZEncodingInfo &os = nls->infos[0];
  os.id = QZ_ENC_OS;
  OsWidths(os_encoding, os);
  os.name = nls->os_name.c_str();
  for (size_t i = 0; i < std::size(kFixedEncodings); ++i) {
    const FixedEncoding &fixed = kFixedEncodings[i];
    QZEncodingInfo &info = nls->infos[i + 1];
    info.id = fixed.id;
    info.unit_bytes = fixed.unit_bytes;
    info.min_bytes = fixed.min_bytes;
    info.max_bytes = fixed.max_bytes;
    info.name = fixed.iconv_name;
  }
  Register(&head, Kind::Nls, kernel);
  return nls;
}

void DestroyNls(Nls *nls) {
  Take(static_cast<QZNls *>(nls), Kind::Nls);
  nls->magic = 0;
  delete nls;
}

QZNls *PublicNls(Nls *nls) {
  return nls;
}

QZTranscoder *PublicTranscoder(Transcoder *transcoder) {
  return transcoder;
}

Transcoder *CreateKernelTranscoder(Kernel *kernel, uint32_t from, uint32_t to) {
  return NewTranscoder(kernel->nls_object, from, to, 0, false);
}

void DestroyTranscoderNow(Transcoder *transcoder) {
  Take(static_cast<QZTranscoder *>(transcoder), Kind::Transcoder);
  iconv_close(transcoder->converter);
  if (transcoder->counted) transcoder->kernel->transcoders.fetch_sub(1);
  transcoder->magic = 0;
  delete transcoder;
}

std::u32string DecodeOsBytes(Kernel *kernel, const char *text) {
  std::u32string result;
  if (text == nullptr) return result;
  const size_t length = std::strlen(text);
  if (length == 0) return result;
  result.resize(length); // a byte never gives more than one character here
  Transcoder *transcoder = kernel->byte_transcoder;
  bool done = false;
  if (transcoder != nullptr) {
    std::lock_guard guard(transcoder->mutex);
    char *in = const_cast<char *>(text);
    size_t in_left = length;
    char *out = reinterpret_cast<char *>(result.data());
    size_t out_left = length * sizeof(char32_t);
    iconv(transcoder->converter, nullptr, nullptr, nullptr, nullptr);
    if (iconv(transcoder->converter, &in, &in_left, &out, &out_left) != static_cast<size_t>(-1)) {
      result.resize(length - out_left / sizeof(char32_t));
      done = true;
    }
  }
  if (!done)
    for (size_t i = 0; i < length; ++i)
      result[i] = static_cast<unsigned char>(text[i]);
  return result;
}

} // namespace qzk
