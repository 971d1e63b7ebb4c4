#include "norvan/signing/mime/gmime.hpp"

#include "norvan/signing/mime.hpp"

#include <mutex>
#include <string>

namespace norvan::signing::mime::detail {

void initialise_gmime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

BorrowedStream::BorrowedStream(ByteView bytes) {
  if (bytes.size() > G_MAXUINT) {
    throw MessageFormatError("The message is " + std::to_string(bytes.size()) +
                             " bytes long; messages over 4 GiB cannot be parsed");
  }
  // g_byte_array_new_take wants a mutable pointer; nothing writes through it.
  array_ = g_byte_array_new_take(const_cast<guint8*>(bytes.data()), bytes.size());
  stream_.reset(g_mime_stream_mem_new_with_byte_array(array_));
  g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(stream_.get()), FALSE);
}

BorrowedStream::~BorrowedStream() {
  stream_.reset();
  g_byte_array_steal(array_, nullptr);
  g_byte_array_unref(array_);
}

}  // namespace norvan::signing::mime::detail
