#pragma once
// Ownership of GMime objects, and GMime set up once per process.

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

}  // namespace norvan::signing::mime::detail
