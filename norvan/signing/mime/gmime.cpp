#include "norvan/signing/mime/gmime.hpp"

#include "norvan/common/error.hpp"

#include <dlfcn.h>

#include <string_view>

#ifndef NORVAN_GMIME_SONAME
#error "NORVAN_GMIME_SONAME must name GMime's library (its SONAME)"
#endif

namespace norvan::signing::mime::detail {
namespace {

std::string last_dl_error() {
  const char* text = dlerror();
  return text != nullptr ? text : "no reason given";
}

template <class Function>
void resolve(void* library, const std::string& soname, const char* name, Function& function) {
  dlerror();
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) {
    throw Error(ErrorCode::file,
                "GMime library '" + soname + "' lacks the function '" + name + "': " + last_dl_error());
  }
  function = reinterpret_cast<Function>(symbol);
}

}  // namespace

void DlcloseHandle::operator()(void* handle) const noexcept { dlclose(handle); }

const char* const kGMimeLibrary = NORVAN_GMIME_SONAME;

bool GMimeApi::is_a(const void* object, GType type) const {
  auto* instance = static_cast<GTypeInstance*>(const_cast<void*>(object));
  return instance != nullptr && type_check_instance_is_a(instance, type) != FALSE;
}

GMimeApi load_gmime(const std::string& soname) {
  GMimeApi api;
  // GLib's type system cannot be unloaded: NODELETE keeps the library mapped after dlclose.
  api.library.reset(dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
  if (!api.library)
    throw Error(ErrorCode::file, "GMime library '" + soname + "' could not be loaded: " + last_dl_error());
  void* library = api.library.get();
  resolve(library, soname, "g_mime_init", api.init);
  resolve(library, soname, "g_object_unref", api.object_unref);
  resolve(library, soname, "g_type_check_instance_is_a", api.type_check_instance_is_a);
  resolve(library, soname, "g_mime_part_get_type", api.part_get_type);
  resolve(library, soname, "g_mime_multipart_get_type", api.multipart_get_type);
  resolve(library, soname, "g_mime_message_part_get_type", api.message_part_get_type);
  resolve(library, soname, "g_mime_stream_mem_new", api.stream_mem_new);
  resolve(library, soname, "g_mime_stream_mem_new_with_buffer", api.stream_mem_new_with_buffer);
  resolve(library, soname, "g_mime_stream_mem_get_byte_array", api.stream_mem_get_byte_array);
  resolve(library, soname, "g_mime_parser_new_with_stream", api.parser_new_with_stream);
  resolve(library, soname, "g_mime_parser_construct_part", api.parser_construct_part);
  resolve(library, soname, "g_mime_data_wrapper_new_with_stream", api.data_wrapper_new_with_stream);
  resolve(library, soname, "g_mime_data_wrapper_write_to_stream", api.data_wrapper_write_to_stream);
  resolve(library, soname, "g_mime_object_get_header", api.object_get_header);
  resolve(library, soname, "g_mime_object_get_content_type", api.object_get_content_type);
  resolve(library, soname, "g_mime_object_get_content_type_parameter", api.object_get_content_type_parameter);
  resolve(library, soname, "g_mime_content_type_is_type", api.content_type_is_type);
  resolve(library, soname, "g_mime_part_get_content_encoding", api.part_get_content_encoding);
  resolve(library, soname, "g_mime_multipart_get_count", api.multipart_get_count);
  resolve(library, soname, "g_mime_multipart_get_part", api.multipart_get_part);
  return api;
}

const GMimeApi& gmime() {
  static const GMimeApi api = [] {
    GMimeApi loaded = load_gmime(kGMimeLibrary);
    loaded.init();
    return loaded;
  }();
  return api;
}

}  // namespace norvan::signing::mime::detail
