#pragma once
// Ownership of GMime objects and the GMime streams that messages are parsed from.

#include "norvan/common/bytes.hpp"

#include <gmime/gmime.h>

#include <memory>

namespace norvan::signing::mime::detail {

struct GObjectUnref {
  void operator()(gpointer object) const noexcept { g_object_unref(object); }
};

/// Owns one reference to a GObject: only what a GMime *_new / construct function returned.
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

/// Initialises GMime once per process.
void initialise_gmime();

// A GMime memory stream reading the caller's bytes in place. GMime's memory stream reads
// from a GByteArray: the array is lent the caller's buffer, the stream is told it does not
// own the array, and the buffer is taken back from the array before the array is freed, so
// GLib never copies, changes or frees the caller's bytes. The stream is only read (parsing
// and reading part contents never write to it). Everything made from the stream (parser,
// parts, their substreams) must be gone before this object is destroyed.
class BorrowedStream {
 public:
  // Throws MessageFormatError when `bytes` is longer than a GByteArray holds.
  explicit BorrowedStream(ByteView bytes);
  BorrowedStream(const BorrowedStream&) = delete;
  BorrowedStream& operator=(const BorrowedStream&) = delete;
  ~BorrowedStream();

  GMimeStream* get() const noexcept { return stream_.get(); }

 private:
  GByteArray* array_ = nullptr;
  GObjectPtr<GMimeStream> stream_;
};

}  // namespace norvan::signing::mime::detail
