#include "norvan/signing/mime/gmime.hpp"

#include "norvan/common/lazy_library.hpp"

#ifndef NORVAN_GMIME_SONAME
#error "NORVAN_GMIME_SONAME must name GMime's library (its SONAME)"
#endif

namespace norvan::signing::mime::detail {

const char* const kGMimeLibrary = NORVAN_GMIME_SONAME;

bool GMimeApi::is_a(const void* object, GType type) const {
  auto* instance = static_cast<GTypeInstance*>(const_cast<void*>(object));
  return instance != nullptr && type_check_instance_is_a(instance, type) != FALSE;
}

GMimeApi load_gmime(const std::string& soname) {
  GMimeApi api;
  // GLib's type system cannot be unloaded: the library stays mapped after it is closed.
  const norvan::detail::LazyLibrary& library = api.library.emplace("GMime", soname, /*keep_mapped=*/true);
  library.resolve("g_mime_init", api.init);
  library.resolve("g_object_unref", api.object_unref);
  library.resolve("g_type_check_instance_is_a", api.type_check_instance_is_a);
  library.resolve("g_mime_part_get_type", api.part_get_type);
  library.resolve("g_mime_multipart_get_type", api.multipart_get_type);
  library.resolve("g_mime_message_part_get_type", api.message_part_get_type);
  library.resolve("g_mime_stream_mem_new", api.stream_mem_new);
  library.resolve("g_mime_stream_mem_new_with_buffer", api.stream_mem_new_with_buffer);
  library.resolve("g_mime_stream_mem_get_byte_array", api.stream_mem_get_byte_array);
  library.resolve("g_mime_parser_new_with_stream", api.parser_new_with_stream);
  library.resolve("g_mime_parser_construct_part", api.parser_construct_part);
  library.resolve("g_mime_data_wrapper_new_with_stream", api.data_wrapper_new_with_stream);
  library.resolve("g_mime_data_wrapper_write_to_stream", api.data_wrapper_write_to_stream);
  library.resolve("g_mime_object_get_header", api.object_get_header);
  library.resolve("g_mime_object_get_content_type", api.object_get_content_type);
  library.resolve("g_mime_object_get_content_type_parameter", api.object_get_content_type_parameter);
  library.resolve("g_mime_content_type_is_type", api.content_type_is_type);
  library.resolve("g_mime_part_get_content_encoding", api.part_get_content_encoding);
  library.resolve("g_mime_multipart_get_count", api.multipart_get_count);
  library.resolve("g_mime_multipart_get_part", api.multipart_get_part);
  return api;
}

namespace {

GMimeApi load_and_initialise_gmime() {
  GMimeApi loaded = load_gmime(kGMimeLibrary);
  loaded.init();
  return loaded;
}

}  // namespace

const GMimeApi& gmime() { return norvan::detail::loaded_once<GMimeApi, load_and_initialise_gmime>(); }

}  // namespace norvan::signing::mime::detail
