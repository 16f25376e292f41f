// Owners of GLib and libatspi objects, so that every reference is released once on every path.
// They are used on the GLib thread only.
#pragma once

#include <atspi/atspi.h>

#include <memory>

namespace desktop::atspi {

struct GObjectUnref {
  void operator()(gpointer object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

struct GVariantUnref {
  void operator()(GVariant* v) const {
    if (v != nullptr) g_variant_unref(v);
  }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;

class GErrorSlot {
 public:
  GErrorSlot() = default;
  GErrorSlot(const GErrorSlot&) = delete;
  GErrorSlot& operator=(const GErrorSlot&) = delete;
  ~GErrorSlot() { clear(); }
  GError** out() {
    clear();
    return &error_;
  }
  bool failed() const { return error_ != nullptr; }
  void clear() {
    if (error_ != nullptr) g_error_free(error_);
    error_ = nullptr;
  }

 private:
  GError* error_ = nullptr;
};

}  // namespace desktop::atspi
