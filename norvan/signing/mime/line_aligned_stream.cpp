#include "norvan/signing/mime/line_aligned_stream.hpp"

#include <cstring>

namespace norvan::signing::mime::detail {
namespace {

struct NorvanLineAlignedStream {
  GMimeStream parent;
  GMimeStream* inner;
};

struct NorvanLineAlignedStreamClass {
  GMimeStreamClass parent_class;
};

GMimeStream* inner_of(GMimeStream* stream) { return reinterpret_cast<NorvanLineAlignedStream*>(stream)->inner; }

// Keeps the position GMime's own stream functions read in step with the inner stream's.
gint64 follow(GMimeStream* stream, gint64 position) {
  if (position >= 0) stream->position = position;
  return position;
}

ssize_t aligned_read(GMimeStream* stream, char* buffer, size_t length) {
  GMimeStream* inner = inner_of(stream);
  const ssize_t count = g_mime_stream_read(inner, buffer, length);
  if (count <= 0) return count;
  const std::size_t kept = line_aligned_length(buffer, static_cast<std::size_t>(count));
  const auto surplus = static_cast<gint64>(static_cast<std::size_t>(count) - kept);
  if (surplus != 0 && g_mime_stream_seek(inner, -surplus, GMIME_STREAM_SEEK_CUR) < 0) return -1;
  follow(stream, g_mime_stream_tell(inner));
  return static_cast<ssize_t>(kept);
}

ssize_t refuse_write(GMimeStream*, const char*, size_t) { return -1; }
int nothing_to_flush(GMimeStream*) { return 0; }
int close_inner(GMimeStream* stream) { return g_mime_stream_close(inner_of(stream)); }
gboolean inner_eos(GMimeStream* stream) { return g_mime_stream_eos(inner_of(stream)); }
int reset_inner(GMimeStream* stream) {
  const int result = g_mime_stream_reset(inner_of(stream));
  follow(stream, g_mime_stream_tell(inner_of(stream)));
  return result;
}
gint64 seek_inner(GMimeStream* stream, gint64 offset, GMimeSeekWhence whence) {
  return follow(stream, g_mime_stream_seek(inner_of(stream), offset, whence));
}
gint64 tell_inner(GMimeStream* stream) { return g_mime_stream_tell(inner_of(stream)); }
gint64 inner_length(GMimeStream* stream) { return g_mime_stream_length(inner_of(stream)); }

// The inner stream's own substream, made through its class directly: g_mime_stream_substream
// would make it hold a second reference to the inner stream that nothing ever drops. The
// caller's g_mime_stream_substream makes it hold this stream instead, which holds the inner one.
GMimeStream* inner_substream(GMimeStream* stream, gint64 start, gint64 end) {
  GMimeStream* inner = inner_of(stream);
  return GMIME_STREAM_GET_CLASS(inner)->substream(inner, start, end);
}

}  // namespace

G_DEFINE_TYPE(NorvanLineAlignedStream, norvan_line_aligned_stream, GMIME_TYPE_STREAM)

namespace {

void finalize(GObject* object) {
  auto* self = reinterpret_cast<NorvanLineAlignedStream*>(object);
  if (self->inner != nullptr) g_object_unref(self->inner);
  G_OBJECT_CLASS(norvan_line_aligned_stream_parent_class)->finalize(object);
}

}  // namespace

void norvan_line_aligned_stream_class_init(NorvanLineAlignedStreamClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = finalize;
  GMimeStreamClass* stream = GMIME_STREAM_CLASS(klass);
  stream->read = aligned_read;
  stream->write = refuse_write;
  stream->flush = nothing_to_flush;
  stream->close = close_inner;
  stream->eos = inner_eos;
  stream->reset = reset_inner;
  stream->seek = seek_inner;
  stream->tell = tell_inner;
  stream->length = inner_length;
  stream->substream = inner_substream;
}

void norvan_line_aligned_stream_init(NorvanLineAlignedStream* self) { self->inner = nullptr; }

std::size_t line_aligned_length(const char* data, std::size_t size) noexcept {
  if (const void* last = ::memrchr(data, '\n', size)) return static_cast<std::size_t>(static_cast<const char*>(last) - data) + 1;
  for (std::size_t next = size - 1; next-- > 1;) {
    if (data[next] != '-' || data[next + 1] != '-') return next;
  }
  return size;
}

GObjectPtr<GMimeStream> line_aligned_stream(GMimeStream* inner) {
  auto* self = static_cast<NorvanLineAlignedStream*>(g_object_new(norvan_line_aligned_stream_get_type(), nullptr));
  self->inner = GMIME_STREAM(g_object_ref(inner));
  GMimeStream* stream = &self->parent;
  const gint64 start = g_mime_stream_tell(inner);
  g_mime_stream_construct(stream, start < 0 ? 0 : start, -1);
  return GObjectPtr<GMimeStream>(stream);
}

}  // namespace norvan::signing::mime::detail
