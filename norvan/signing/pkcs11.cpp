#include "norvan/signing/pkcs11.hpp"

#include "norvan/common/lazy_library.hpp"
#include "norvan/common/shortened.hpp"

#include <dlfcn.h>
#include <libp11.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>

#ifndef NORVAN_LIBP11_SONAME
#error "NORVAN_LIBP11_SONAME must name libp11's library (its SONAME)"
#endif

namespace norvan::signing::pkcs11 {
namespace {

namespace fs = std::filesystem;

// The attributes of an RFC 7512 URI, percent-decoded.
struct Uri {
  std::string text;  // as given, for error texts (without the pin-value)
  std::map<std::string, std::string> path;
  std::map<std::string, std::string> query;

  const std::string* find(const std::string& name) const {
    const auto it = path.find(name);
    return it == path.end() ? nullptr : &it->second;
  }
};

[[noreturn]] void bad_uri(std::string_view uri, const std::string& why) {
  throw TokenError("The PKCS#11 URI '" + shortened(uri.substr(0, uri.find('?')), 200) + "' is malformed: " + why);
}

std::string percent_decoded(std::string_view uri, std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      out += value[i];
      continue;
    }
    if (i + 2 >= value.size()) bad_uri(uri, "a '%' is not followed by two hex digits");
    const auto hex = [&](char c) -> int {
      if (std::isxdigit(static_cast<unsigned char>(c)) == 0) bad_uri(uri, "a '%' is not followed by two hex digits");
      return std::isdigit(static_cast<unsigned char>(c)) != 0 ? c - '0' : (std::tolower(c) - 'a' + 10);
    };
    out += static_cast<char>(hex(value[i + 1]) * 16 + hex(value[i + 2]));
    i += 2;
  }
  return out;
}

void split_attributes(std::string_view uri, std::string_view part, char separator,
                      std::map<std::string, std::string>& into) {
  std::size_t start = 0;
  while (start < part.size()) {
    std::size_t end = part.find(separator, start);
    if (end == std::string_view::npos) end = part.size();
    const std::string_view attribute = part.substr(start, end - start);
    const std::size_t equals = attribute.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      bad_uri(uri, "the attribute '" + shortened(attribute, 60) + "' is not of the form name=value");
    }
    const std::string name(attribute.substr(0, equals));
    if (!into.emplace(name, percent_decoded(uri, attribute.substr(equals + 1))).second) {
      bad_uri(uri, "the attribute '" + shortened(name, 60) + "' occurs more than once");
    }
    start = end + 1;
  }
}

Uri parse_uri(std::string_view text) {
  static constexpr std::string_view kScheme = "pkcs11:";
  if (!is_pkcs11_uri(text)) bad_uri(text, "it does not start with 'pkcs11:'");
  Uri uri;
  const std::string_view rest = text.substr(kScheme.size());
  const std::size_t question = rest.find('?');
  split_attributes(text, rest.substr(0, question), ';', uri.path);
  if (question != std::string_view::npos) split_attributes(text, rest.substr(question + 1), '&', uri.query);
  static const char* const kPathNames[] = {"token", "manufacturer", "model", "serial", "slot-id", "slot-description",
                                           "slot-manufacturer", "library-manufacturer", "library-description",
                                           "object", "id", "type"};
  for (const auto& [name, value] : uri.path) {
    if (std::find(std::begin(kPathNames), std::end(kPathNames), name) == std::end(kPathNames)) {
      bad_uri(text, "the attribute '" + shortened(name, 60) + "' is not one this program knows");
    }
  }
  for (const auto& [name, value] : uri.query) {
    if (name != "pin-value" && name != "module-path") {
      bad_uri(text, "the query attribute '" + shortened(name, 60) + "' is not one this program knows");
    }
  }
  if (const std::string* type = uri.find("type"); type != nullptr && *type != "private") {
    bad_uri(text, "type=" + shortened(*type, 20) + " names no private key");
  }
  uri.text = std::string(question == std::string_view::npos ? text : text.substr(0, kScheme.size() + question));
  return uri;
}

// libp11, opened when a key is first taken from a token: its functions that this file calls.
struct Libp11Api {
  std::optional<norvan::detail::LazyLibrary> library;
  decltype(&::PKCS11_CTX_new) CTX_new;
  decltype(&::PKCS11_CTX_load) CTX_load;
  decltype(&::PKCS11_CTX_unload) CTX_unload;
  decltype(&::PKCS11_CTX_free) CTX_free;
  decltype(&::PKCS11_enumerate_slots) enumerate_slots;
  decltype(&::PKCS11_release_all_slots) release_all_slots;
  decltype(&::PKCS11_get_slotid_from_slot) get_slotid_from_slot;
  decltype(&::PKCS11_find_token) find_token;
  decltype(&::PKCS11_find_next_token) find_next_token;
  decltype(&::PKCS11_is_logged_in) is_logged_in;
  decltype(&::PKCS11_login) login;
  decltype(&::PKCS11_logout) logout;
  decltype(&::PKCS11_enumerate_keys) enumerate_keys;
  decltype(&::PKCS11_get_private_key) get_private_key;
};

Libp11Api load_libp11() {
  Libp11Api api;
  try {
    const norvan::detail::LazyLibrary& library = api.library.emplace("libp11", NORVAN_LIBP11_SONAME);
    library.resolve("PKCS11_CTX_new", api.CTX_new);
    library.resolve("PKCS11_CTX_load", api.CTX_load);
    library.resolve("PKCS11_CTX_unload", api.CTX_unload);
    library.resolve("PKCS11_CTX_free", api.CTX_free);
    library.resolve("PKCS11_enumerate_slots", api.enumerate_slots);
    library.resolve("PKCS11_release_all_slots", api.release_all_slots);
    library.resolve("PKCS11_get_slotid_from_slot", api.get_slotid_from_slot);
    library.resolve("PKCS11_find_token", api.find_token);
    library.resolve("PKCS11_find_next_token", api.find_next_token);
    library.resolve("PKCS11_is_logged_in", api.is_logged_in);
    library.resolve("PKCS11_login", api.login);
    library.resolve("PKCS11_logout", api.logout);
    library.resolve("PKCS11_enumerate_keys", api.enumerate_keys);
    library.resolve("PKCS11_get_private_key", api.get_private_key);
  } catch (const Error& error) {
    throw TokenError("PKCS#11 keys need libp11 (Debian package libp11-3): " + std::string(error.what()));
  }
  return api;
}

const Libp11Api& libp11() { return norvan::detail::loaded_once<Libp11Api, load_libp11>(); }

// One loaded PKCS#11 module: libp11's context and its slot list. A module is initialised once
// per process (C_Initialize) and finalising it ends every session of the process, so all keys
// from one module share one Library, which stays loaded until the process ends. `mutex`
// serialises the look-ups made through it. A token stays logged in while a key from it lives.
struct Library {
  std::mutex mutex;
  PKCS11_CTX* context = nullptr;
  bool loaded = false;
  PKCS11_SLOT* slots = nullptr;
  unsigned int slot_count = 0;
  std::map<PKCS11_SLOT*, int> keys_in_use;  // per token: its keys alive; the last one logs out

  Library() = default;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  ~Library() {
    if (slots != nullptr) libp11().release_all_slots(context, slots, slot_count);
    if (loaded) libp11().CTX_unload(context);
    if (context != nullptr) libp11().CTX_free(context);
  }
};

std::string reason_suffix() {
  const std::string reason = ossl::take_error_reason();
  return reason.empty() ? std::string() : ": " + reason;
}

// Returns the loaded module at `module_path`, loading it on first use.
std::shared_ptr<Library> library_for(const std::string& module_path) {
  static std::mutex mutex;
  // Never destroyed: at exit a module may already have torn itself down (its own static
  // objects go first when it was loaded later), so nothing may call into it then.
  static auto* const loaded = new std::map<std::string, std::shared_ptr<Library>>();
  const std::lock_guard lock(mutex);
  std::shared_ptr<Library>& library = (*loaded)[module_path];
  if (library) return library;
  const Libp11Api& p11 = libp11();
  // Opened here first, so that a file that is no loadable module is reported in our one line
  // (libp11 would print the loader's complaint on standard error too).
  if (void* probe = ::dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    ::dlclose(probe);
  } else {
    const char* why = ::dlerror();
    throw TokenError("Cannot load the PKCS#11 module '" + shortened(module_path) + "'" +
                     (why != nullptr ? ": " + shortened(why) : std::string()));
  }
  auto fresh = std::make_shared<Library>();
  fresh->context = p11.CTX_new();
  if (fresh->context == nullptr) throw TokenError("Cannot start libp11" + reason_suffix());
  if (p11.CTX_load(fresh->context, module_path.c_str()) != 0) {
    throw TokenError("Cannot load the PKCS#11 module '" + shortened(module_path) + "'" + reason_suffix());
  }
  fresh->loaded = true;
  // The slots are listed once: keys found through them must stay valid while others are looked up.
  if (p11.enumerate_slots(fresh->context, &fresh->slots, &fresh->slot_count) != 0) {
    throw TokenError("Cannot list the slots of the PKCS#11 module '" + shortened(module_path) + "'" + reason_suffix());
  }
  library = fresh;
  return library;
}

bool matches(const Uri& uri, const char* name, const char* actual) {
  const std::string* wanted = uri.find(name);
  return wanted == nullptr || (actual != nullptr && *wanted == actual);
}

bool token_matches(const Uri& uri, const PKCS11_CTX* context, PKCS11_SLOT* slot) {
  const PKCS11_TOKEN* token = slot->token;
  if (!matches(uri, "library-manufacturer", context->manufacturer) ||
      !matches(uri, "library-description", context->description)) {
    return false;
  }
  if (const std::string* id = uri.find("slot-id");
      id != nullptr && *id != std::to_string(libp11().get_slotid_from_slot(slot))) {
    return false;
  }
  return matches(uri, "token", token->label) && matches(uri, "manufacturer", token->manufacturer) &&
         matches(uri, "model", token->model) && matches(uri, "serial", token->serialnr) &&
         matches(uri, "slot-description", slot->description) && matches(uri, "slot-manufacturer", slot->manufacturer);
}

bool key_matches(const Uri& uri, const PKCS11_KEY& key) {
  if (!matches(uri, "object", key.label)) return false;
  const std::string* id = uri.find("id");
  return id == nullptr || (key.id_len == id->size() && std::equal(id->begin(), id->end(), key.id));
}

// The PIN as the C string libp11 takes, wiped when it goes.
class Pin {
 public:
  Pin(const std::optional<ByteView>& given, const Uri& uri) {
    if (given) {
      value_.assign(given->begin(), given->end());
    } else if (const auto it = uri.query.find("pin-value"); it != uri.query.end()) {
      value_ = it->second;
    } else {
      return;
    }
    present_ = true;
    if (value_.find('\0') != std::string::npos) throw TokenError("The PIN holds a NUL byte, which no token accepts");
  }
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;
  ~Pin() { OPENSSL_cleanse(value_.data(), value_.size()); }
  bool present() const { return present_; }
  const char* c_str() const { return value_.c_str(); }

 private:
  std::string value_;
  bool present_ = false;
};

std::string token_name(const PKCS11_TOKEN* token) { return "'" + shortened(token->label ? token->label : "", 64) + "'"; }

}  // namespace

bool is_pkcs11_uri(std::string_view location) {
  static constexpr std::string_view kScheme = "pkcs11:";
  if (location.size() < kScheme.size()) return false;
  return std::equal(kScheme.begin(), kScheme.end(), location.begin(),
                    [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

merrowin::PrivateKey load_private_key(std::string_view uri_text, const std::optional<ByteView>& pin_given,
                                      const std::optional<fs::path>& module) {
  const Uri uri = parse_uri(uri_text);
  std::string module_path(DEFAULT_MODULE);
  if (module) {
    module_path = module->string();
  } else if (const auto it = uri.query.find("module-path"); it != uri.query.end()) {
    module_path = it->second;
  }
  const Pin pin(pin_given, uri);
  std::error_code error;
  if (module_path.find('/') != std::string::npos && !fs::exists(module_path, error)) {
    throw TokenError("The PKCS#11 module '" + shortened(module_path) + "' does not exist");
  }

  ossl::clear_errors();
  const std::shared_ptr<Library> library = library_for(module_path);
  const std::lock_guard lock(library->mutex);
  PKCS11_SLOT* found_slot = nullptr;
  for (PKCS11_SLOT* slot = libp11().find_token(library->context, library->slots, library->slot_count); slot != nullptr;
       slot = libp11().find_next_token(library->context, library->slots, library->slot_count, slot)) {
    if (slot->token == nullptr || !slot->token->initialized || !token_matches(uri, library->context, slot)) continue;
    if (found_slot != nullptr) {
      throw TokenError("More than one token matches '" + uri.text + "': name one with token=...");
    }
    found_slot = slot;
  }
  ossl::clear_errors();
  if (found_slot == nullptr) {
    throw TokenError("No token matches '" + uri.text + "' in the PKCS#11 module '" + shortened(module_path) + "'");
  }
  PKCS11_TOKEN* token = found_slot->token;
  int logged_in = 0;
  if (libp11().is_logged_in(found_slot, 0, &logged_in) != 0) logged_in = 0;
  // Logged in already: an earlier key of this process opened the token (the login of a
  // PKCS#11 application holds for all its sessions).
  if (token->loginRequired && logged_in == 0) {
    if (!pin.present()) {
      throw TokenError("The token " + token_name(token) +
                       " needs a PIN: give it as the passphrase (or as pin-value in the URI)");
    }
    if (libp11().login(found_slot, 0, pin.c_str()) != 0) {
      throw TokenError("The token " + token_name(token) + " refused the PIN" + reason_suffix());
    }
  }
  // Should no key come of it, a token that no key of ours uses is left logged out.
  struct LogoutUnlessKept {
    Library& library;
    PKCS11_SLOT* slot;
    bool kept = false;
    ~LogoutUnlessKept() {
      if (!kept && library.keys_in_use[slot] == 0) (void)libp11().logout(slot);
    }
  } logout_unless_kept{*library, found_slot};

  PKCS11_KEY* keys = nullptr;
  unsigned int key_count = 0;
  if (libp11().enumerate_keys(token, &keys, &key_count) != 0) {
    throw TokenError("Cannot list the keys of the token " + token_name(token) + reason_suffix());
  }
  PKCS11_KEY* found_key = nullptr;
  for (unsigned int i = 0; i < key_count; ++i) {
    if (!keys[i].isPrivate || !key_matches(uri, keys[i])) continue;
    if (found_key != nullptr) {
      throw TokenError("More than one private key of the token " + token_name(token) + " matches '" + uri.text +
                       "': name one with object=... or id=...");
    }
    found_key = &keys[i];
  }
  if (found_key == nullptr) {
    throw TokenError("No private key of the token " + token_name(token) + " matches '" + uri.text + "'");
  }
  EVP_PKEY* key = libp11().get_private_key(found_key);
  if (key == nullptr) {
    throw TokenError("Cannot use the private key '" + uri.text + "' of the token " + token_name(token) + reason_suffix());
  }
  // Whether libp11's key list keeps a reference of its own is not documented: taking one more
  // and giving it back with ours is right either way.
  EVP_PKEY_up_ref(key);
  ossl::UniquePtr<EVP_PKEY> owned(key);
  // The key's operations call into the module: the key holds on to it, and the last key of
  // the token logs out of it.
  ++library->keys_in_use[found_slot];
  logout_unless_kept.kept = true;
  std::shared_ptr<EVP_PKEY> shared(owned.release(), [library, found_slot](EVP_PKEY* evp) {
    const std::lock_guard key_lock(library->mutex);
    EVP_PKEY_free(evp);
    if (--library->keys_in_use[found_slot] == 0) {
      (void)libp11().logout(found_slot);
      ERR_clear_error();
    }
  });
  ossl::clear_errors();
  return merrowin::PrivateKey(std::move(shared));
}

merrowin::PrivateKey load_private_key_file_or_uri(const fs::path& file_or_uri, const std::optional<ByteView>& password,
                                                  const std::optional<fs::path>& module) {
  if (is_pkcs11_uri(file_or_uri.native())) return load_private_key(file_or_uri.native(), password, module);
  return merrowin::read_private_key_from_pem_file(file_or_uri, password);
}

}  // namespace norvan::signing::pkcs11
