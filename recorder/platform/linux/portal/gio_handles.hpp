#pragma once

#include <gio/gio.h>

#include <memory>

namespace recorder::linux_backend::portal {

// Owning handles for the GLib objects the portal code holds; each releases with its own function.
struct GObjectRelease {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct GVariantRelease {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
struct GErrorRelease {
    void operator()(GError* error) const { g_error_free(error); }
};
struct GFreeRelease {
    void operator()(gpointer memory) const { g_free(memory); }
};
struct GMainContextRelease {
    void operator()(GMainContext* context) const { g_main_context_unref(context); }
};
struct GMainLoopRelease {
    void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};

using ConnectionHandle = std::unique_ptr<GDBusConnection, GObjectRelease>;
using FdListHandle = std::unique_ptr<GUnixFDList, GObjectRelease>;
using VariantHandle = std::unique_ptr<GVariant, GVariantRelease>;
using ErrorHandle = std::unique_ptr<GError, GErrorRelease>;
using GStringHandle = std::unique_ptr<gchar, GFreeRelease>;
using ContextHandle = std::unique_ptr<GMainContext, GMainContextRelease>;
using LoopHandle = std::unique_ptr<GMainLoop, GMainLoopRelease>;

}  // namespace recorder::linux_backend::portal
