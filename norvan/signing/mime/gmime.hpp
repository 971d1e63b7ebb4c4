#pragma once
// GMime, loaded when a message first needs it: its entry points in one table, resolved once per
// process, and ownership of its objects. The library is not linked, so that programs that never
// read a message do not load GMime and its tree (GLib, GObject, GIO, ...). Its headers are used
// for the types only; every call goes through the table.

#include "norvan/common/lazy_library.hpp"

#include <gmime/gmime.h>

#include <memory>
#include <optional>
#include <string>

namespace norvan::signing::mime::detail {

/// The GMime functions this module calls, with the GLib/GObject ones its type checks need.
struct GMimeApi {
  std::optional<norvan::detail::LazyLibrary> library;  // opened so that closing never unloads it

  decltype(&::g_mime_init) init;
  decltype(&::g_object_unref) object_unref;
  decltype(&::g_type_check_instance_is_a) type_check_instance_is_a;

  decltype(&::g_mime_part_get_type) part_get_type;
  decltype(&::g_mime_multipart_get_type) multipart_get_type;
  decltype(&::g_mime_message_part_get_type) message_part_get_type;

  decltype(&::g_mime_stream_mem_new) stream_mem_new;
  decltype(&::g_mime_stream_mem_new_with_buffer) stream_mem_new_with_buffer;
  decltype(&::g_mime_stream_mem_get_byte_array) stream_mem_get_byte_array;
  decltype(&::g_mime_parser_new_with_stream) parser_new_with_stream;
  decltype(&::g_mime_parser_construct_part) parser_construct_part;
  decltype(&::g_mime_data_wrapper_new_with_stream) data_wrapper_new_with_stream;
  decltype(&::g_mime_data_wrapper_write_to_stream) data_wrapper_write_to_stream;

  decltype(&::g_mime_object_get_header) object_get_header;
  decltype(&::g_mime_object_get_content_type) object_get_content_type;
  decltype(&::g_mime_object_get_content_type_parameter) object_get_content_type_parameter;
  decltype(&::g_mime_content_type_is_type) content_type_is_type;
  decltype(&::g_mime_part_get_content_encoding) part_get_content_encoding;
  decltype(&::g_mime_multipart_get_count) multipart_get_count;
  decltype(&::g_mime_multipart_get_part) multipart_get_part;

  /// Whether `object` (possibly null) is an instance of `type` or of a type derived from it.
  bool is_a(const void* object, GType type) const;
};

/// The SONAME by which GMime is opened.
extern const char* const kGMimeLibrary;

/// Opens the library `soname` and resolves every entry point of GMimeApi in it (and in the
/// libraries it needs), without initialising it. Throws norvan::Error (code file) naming the
/// library when it cannot be loaded or lacks a function.
GMimeApi load_gmime(const std::string& soname);

/// GMime, loaded and initialised on the first call in the process (thread-safe); later calls
/// return the same table. Throws what load_gmime throws, and tries again on the next call.
const GMimeApi& gmime();

/// Gives up one reference to a GObject.
struct GObjectUnref {
  void operator()(gpointer object) const noexcept { gmime().object_unref(object); }
};

/// Owns one reference to a GObject: only what a GMime *_new / construct function returned.
/// (Such an object exists only once gmime() has succeeded, so its deleter cannot throw.)
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

}  // namespace norvan::signing::mime::detail
