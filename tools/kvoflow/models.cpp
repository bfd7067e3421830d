// SPDX-License-Identifier: BSD-3-Clause
// The model catalogue: the built-in unit models with their parameters, and plug-in models
// opened from shared objects through their one C entry point.
#include "models.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <kvoblk/kvoblk.h>
#include <kvoblk/kvoplugin.h>
#include "adapters.h"
#include "paths.h"

#if defined(_WIN32)
// The dynamic-loading calls the catalogue makes, in their Windows form: a DLL is loaded with all
// its imports bound, as RTLD_NOW does.
namespace {
constexpr int RTLD_NOW = 0, RTLD_LOCAL = 0;
// The file is loaded by its absolute path: the loader looks for a relative one in the program's
// own folder first, where a file of the same relative name would be loaded in its place.
void* dlopen(const char* path, int) {
  std::error_code ec;
  std::filesystem::path name = std::filesystem::absolute(kvoflow::path_of(path), ec);
  if (ec) {
    SetLastError(ERROR_BAD_PATHNAME);
    return nullptr;
  }
  name.make_preferred();  // the loader wants backslashes
  name = kvoflow::long_form(name);
  return reinterpret_cast<void*>(LoadLibraryW(name.c_str()));
}
void* dlsym(void* handle, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
int dlclose(void* handle) { return FreeLibrary(static_cast<HMODULE>(handle)) ? 0 : 1; }
const char* dlerror() {
  static char text[256];
  static std::string said;
  const DWORD code = GetLastError();
  if (code == 0) return nullptr;
  SetLastError(0);
  if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text, nullptr))
    std::snprintf(text, sizeof text, "system error %lu", static_cast<unsigned long>(code));
  // The system's text ends in a line break; the caller adds its own punctuation.
  for (size_t n = std::strlen(text); n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r');)
    text[--n] = 0;
  // "%1" in the system's text stands for the file, which the caller names already.
  said = text;
  for (size_t at = said.find("%1"); at != std::string::npos; at = said.find("%1", at))
    said.replace(at, 2, "the file");
  return said.c_str();
}
}  // namespace
#endif

namespace kvoflow {

namespace {

// Whether a plug-in's file name holds a folder; on Windows a backslash separates folders too.
bool names_folder(const std::string& path) {
#if defined(_WIN32)
  return path.find_first_of("/\\") != std::string::npos;
#else
  return path.find('/') != std::string::npos;
#endif
}

}  // namespace

struct Catalogue::Library {
  void* handle = nullptr;
  ~Library() {
    if (handle) dlclose(handle);
  }
};

namespace {

std::string in_quotes(const std::string& s) { return "\"" + s + "\""; }

std::string number_text(double x) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", x);
  return buffer;
}

// The built-in models. Each entry's parameters are checked before its creation runs.
std::vector<ModelDef> builtins() {
  std::vector<ModelDef> m;
  for (const BuiltinModel& b : builtin_models()) {
    ModelDef d;
    d.name = b.name;
    d.summary = b.summary;
    d.params = b.params;
    d.create = b.create;
    m.push_back(d);
  }
  return m;
}

// Calls a plug-in's entry point with the block's parameters; no exception crosses it.
int create_by_plugin(kvoblk_plugin_create_fn entry, const std::string& model, const BlockSpec& spec,
                     std::string* why) {
  std::vector<kvoblk_plugin_param> params;
  for (const Parameter& p : spec.params) {
    kvoblk_plugin_param q{};
    q.name = p.name.c_str();
    q.text = "";
    switch (p.value.kind) {
      case Value::TEXT:
        q.kind = KVOBLK_PARAM_TEXT;
        q.text = p.value.text.c_str();
        break;
      case Value::LIST:
        q.kind = KVOBLK_PARAM_LIST;
        q.list = p.value.list.data();
        q.list_size = static_cast<int>(p.value.list.size());
        break;
      case Value::BOOLEAN:
        q.kind = KVOBLK_PARAM_NUMBER;
        q.number = p.value.boolean ? 1.0 : 0.0;
        break;
      default:
        q.kind = KVOBLK_PARAM_NUMBER;
        q.number = p.value.real;
    }
    params.push_back(q);
  }
  char message[512] = "";
  kvoblk_plugin_request request{};
  request.version = KVOBLK_PLUGIN_VERSION;
  request.model = model.c_str();
  request.id = spec.id.c_str();
  request.nparams = static_cast<int>(params.size());
  request.params = params.data();
  request.message = message;
  request.message_size = sizeof message;
  const int blk = entry(&request);
  message[sizeof message - 1] = '\0';
  if (blk == 0) {
    *why = message[0] ? std::string(message)
                      : "the plug-in could not create the block and did not say why";
  } else if (blk < 0 || kvoblk_inq_ops(blk) == nullptr) {
    *why = "the plug-in answered " + std::to_string(blk) + ", which is not a block";
    return 0;
  }
  return blk;
}

bool kind_fits(const ParamSpec& s, const Value& v) {
  switch (s.kind) {
    case Value::REAL:
      return v.kind == Value::REAL || v.kind == Value::INTEGER;
    default:
      return v.kind == s.kind;
  }
}

}  // namespace

Catalogue::Catalogue() : models_(builtins()) {}

Catalogue::~Catalogue() = default;

std::string Catalogue::locate(const PluginSpec& p, const std::string& flowsheet_file,
                              const std::vector<std::string>& dirs) {
  namespace fs = std::filesystem;
  const fs::path here = path_of(flowsheet_file).parent_path();
  const fs::path named = path_of_utf8(p.path);
  std::vector<fs::path> candidates;
  if (names_folder(p.path)) {
    candidates.push_back(named.is_absolute() ? named : here / named);
  } else {
    for (const std::string& d : dirs) candidates.push_back(path_of(d) / named);
    candidates.push_back(here / named);
  }
  // A flowsheet written on the other system names its plug-in by that system's file name; one
  // that is not there is looked for under this system's name too (libx.so and libx.dll).
#if defined(_WIN32)
  const char *foreign = ".so", *native = ".dll";
#else
  const char *foreign = ".dll", *native = ".so";
#endif
  for (size_t k = 0, n = candidates.size(); k < n; ++k)
    if (candidates[k].extension() == foreign)
      candidates.push_back(fs::path(candidates[k]).replace_extension(native));
  for (const fs::path& c : candidates) {
    if (!fs::is_regular_file(status_of(c))) continue;
    // A name in the long form ("\\?\C:\...") is taken as it is written; normalising it would
    // take its leading separators for a root.
    const bool long_name = c.native().rfind(fs::path("//?/").make_preferred().native(), 0) == 0;
    return name_of(long_name ? c : c.lexically_normal());
  }
  return "";
}

void Catalogue::load_plugins(const FlowsheetSpec& spec, const std::vector<std::string>& dirs,
                             Diagnostics& diag) {
  unloaded_.insert(unloaded_.end(), spec.unreadable_plugins.begin(), spec.unreadable_plugins.end());
  for (const PluginSpec& p : spec.plugins) {
    if (find(p.model)) {
      diag.error(p.pos, "the model name " + in_quotes(p.model) +
                            " is already taken by a built-in model or an earlier plug-in");
      continue;
    }
    // Blocks of a plug-in that cannot be loaded are not reported again as of an unknown model.
    unloaded_.push_back(p.model);
    const std::string resolved = locate(p, spec.file, dirs);
    if (resolved.empty()) {
      diag.error(p.pos, "the plug-in " + in_quotes(p.path) + " of model " + p.model +
                            " is not there" +
                            (!names_folder(p.path)
                                 ? std::string(" (looked in the --plugin-dir folders and beside "
                                               "the flowsheet file)")
                                 : std::string(" (a relative path starts at the flowsheet "
                                               "file's folder)")));
      continue;
    }
    // dlopen searches the library path for a bare name; the path always holds a folder here.
    std::string path = resolved;
    if (!names_folder(path)) path.insert(0, "./");
    auto lib = std::make_unique<Library>();
    dlerror();
    lib->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib->handle) {
      const char* e = dlerror();
      diag.error(p.pos, "the plug-in " + resolved +
                            " cannot be loaded: " + (e ? e : "the system gives no reason"));
      continue;
    }
    dlerror();
    void* symbol = dlsym(lib->handle, KVOBLK_PLUGIN_ENTRY);
    if (!symbol) {
      diag.error(p.pos, "the plug-in " + resolved + " does not export the entry point " +
                            KVOBLK_PLUGIN_ENTRY + " (see kvoblk/kvoplugin.h)");
      continue;
    }
    kvoblk_plugin_create_fn entry;
    static_assert(sizeof entry == sizeof symbol, "function and object pointers differ in size");
    std::memcpy(&entry, &symbol, sizeof entry);
    ModelDef d;
    d.name = p.model;
    d.summary = "plug-in " + resolved;
    d.plugin = resolved;
    const std::string model = p.model;
    d.create = [entry, model](const BlockSpec& b, std::string* why) {
      return create_by_plugin(entry, model, b, why);
    };
    models_.push_back(d);
    libraries_.push_back(std::move(lib));
    unloaded_.pop_back();
  }
}

const ModelDef* Catalogue::find(const std::string& name) const {
  for (const ModelDef& m : models_)
    if (m.name == name) return &m;
  return nullptr;
}

void Catalogue::check_blocks(const FlowsheetSpec& spec, Diagnostics& diag) const {
  std::string names;
  for (const ModelDef& m : models_) names += (names.empty() ? "" : ", ") + m.name;
  for (const BlockSpec& b : spec.blocks) {
    if (b.model.empty()) continue;  // already reported
    // A block without an id (reported already) is named by where it is.
    const std::string block = b.id.empty() ? "this block" : "block " + b.id;
    const ModelDef* m = find(b.model);
    if (!m && std::count(unloaded_.begin(), unloaded_.end(), b.model)) continue;
    if (!m) {
      std::string text = block;
      text += " uses the model " + in_quotes(b.model);
      text += ", which is neither built in nor a plug-in of [plugins]; the models are ";
      text += names;
      diag.error(b.model_pos, text);
      continue;
    }
    if (!m->plugin.empty()) continue;  // a plug-in checks its own parameters
    for (const Parameter& p : b.params) {
      const ParamSpec* s = nullptr;
      for (const ParamSpec& q : m->params)
        if (q.name == p.name) s = &q;
      if (!s) {
        std::string known;
        for (const ParamSpec& q : m->params) known += (known.empty() ? "" : ", ") + q.name;
        diag.error(p.pos, "the model " + m->name + " has no parameter " + in_quotes(p.name) +
                              (known.empty() ? "; it takes none" : "; it takes " + known));
        continue;
      }
      if (!kind_fits(*s, p.value)) {
        diag.error(p.value.pos, "parameter " + p.name + " of " + block + " must be " +
                                    kind_name(s->kind) + ", not " + kind_name(p.value.kind));
        continue;
      }
      if (s->kind == Value::REAL || s->kind == Value::INTEGER) {
        if (!(p.value.real >= s->lo && p.value.real <= s->hi))
          diag.error(p.value.pos, "parameter " + p.name + " of " + block + " must be between " +
                                      number_text(s->lo) + " and " + number_text(s->hi));
      } else if (s->kind == Value::LIST) {
        const size_t n = p.value.list.size();
        if (n < 1 || n > 64)
          diag.error(p.value.pos,
                     "parameter " + p.name + " of " + block + " must list 1 to 64 numbers");
        for (double x : p.value.list)
          if (!(x >= s->lo && x <= s->hi)) {
            diag.error(p.value.pos, "every entry of parameter " + p.name + " of " + block +
                                        " must be between " + number_text(s->lo) + " and " +
                                        number_text(s->hi));
            break;
          }
      }
    }
    for (const ParamSpec& s : m->params)
      if (s.required && !b.param(s.name) && !b.unreadable_table &&
          !std::count(b.unreadable_params.begin(), b.unreadable_params.end(), s.name))
        diag.error(b.pos, block + " (model " + m->name + ") needs the parameter " + s.name + ": " +
                              s.meaning);
  }
}

double real_param(const BlockSpec& spec, const std::string& name, double fallback) {
  const Parameter* p = spec.param(name);
  return p && (p->value.kind == Value::REAL || p->value.kind == Value::INTEGER) ? p->value.real
                                                                                : fallback;
}

int int_param(const BlockSpec& spec, const std::string& name, int fallback) {
  const Parameter* p = spec.param(name);
  return p && p->value.kind == Value::INTEGER ? static_cast<int>(p->value.integer) : fallback;
}

}  // namespace kvoflow
