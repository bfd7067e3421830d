// SPDX-License-Identifier: BSD-3-Clause
// Print service of the reference host: the history and report devices, printf-style output and
// script handles. Each device writes to standard output unless it is captured (the text is kept
// until taken) or sent to a file (appended).
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <unordered_set>
#include <vector>

#include "kvorefhost.h"

int kvHisDev = 1;
int kvRepDev = 2;

struct kvopipe {
  std::string name;
  std::string text;
};

namespace {

struct Route {
  bool capturing = false;
  std::string captured;
  // Whether the file ends in the middle of a line is read from the file itself, since the other
  // device, or another program, may append to it too. When the file cannot be read by its name
  // (removed, renamed, unreadable, another file put there), the line this device's own text
  // left is taken instead.
  FILE* file = nullptr;
  std::string path;
  bool file_open = false;
  // Whether the last text kept in the captured text left its line open. The captured text is one
  // stream however often it is taken, so taking it ends no line.
  bool capture_open = false;
};

struct PrintState {
  Route routes[3];  // devices 1 and 2; element 0 unused
  // Standard output is one stream for every device that writes there, so its line is open or
  // closed for all of them alike.
  bool stdout_open = false;
  std::unordered_set<const kvopipe*> scripts;
};

// Never destroyed, so output during static destruction stays safe.
PrintState& state() {
  static PrintState* s = new PrintState;
  return *s;
}

Route* route(int device) { return device == 1 || device == 2 ? &state().routes[device] : nullptr; }

void emit(int device, const char* text, size_t length) {
  if (length == 0) return;
  Route* r = route(device);
  const bool open = text[length - 1] != '\n';
  if (r && r->capturing) {
    // Text that no memory is left to keep is dropped: printing never fails its caller. The line
    // stays as the kept text left it.
    try {
      r->captured.append(text, length);
      r->capture_open = open;
    } catch (const std::exception&) {
    }
    return;
  }
  if (r && r->file) {
    r->file_open = open;
    std::fwrite(text, 1, length, r->file);
    std::fflush(r->file);
    return;
  }
  state().stdout_open = open;
  std::fwrite(text, 1, length, stdout);
  std::fflush(stdout);
}

void close_file(Route& r) {
  if (r.file) std::fclose(r.file);
  r.file = nullptr;
  r.path.clear();
  r.file_open = false;
}

// Whether the file the route writes to ends in the middle of a line. Every write is flushed at
// once, so the file holds all the text of every stream that appends to it. Read as bytes: only
// there may a text stream seek back from its end. Read by its name, which may no longer name it
// (elsewhere a file open for writing cannot be renamed or removed); the route's own line then.
bool ends_open(const Route& r) {
  FILE* f = std::fopen(r.path.c_str(), "rb");
  if (!f) return r.file_open;
#if !defined(_WIN32)
  struct stat written, named;
  if (fstat(fileno(r.file), &written) != 0 || fstat(fileno(f), &named) != 0 ||
      written.st_dev != named.st_dev || written.st_ino != named.st_ino) {
    std::fclose(f);
    return r.file_open;
  }
#endif
  int last = '\n';
  if (std::fseek(f, -1, SEEK_END) == 0) last = std::fgetc(f);
  std::fclose(f);
  return last != '\n' && last != EOF;
}

const kvopipe* known_script(const kvopipe* pipe) {
  return pipe && state().scripts.count(pipe) ? pipe : nullptr;
}

}  // namespace

extern "C" {

int kvoprintf(int device, const char* format, ...) {
  if (!format) return 0;
  // Messages are formatted on the stack and only a long text asks the heap for room, so that
  // the messages written when memory runs out are written too. When even that room cannot be
  // had, the text is cut at what the stack buffer holds.
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  size_t length = 0;
  if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
    length = static_cast<size_t>(n);
    emit(device, small, length);
  } else if (n >= 0) {
    if (char* big = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1))) {
      std::vsnprintf(big, static_cast<size_t>(n) + 1, format, again);
      length = static_cast<size_t>(n);
      emit(device, big, length);
      std::free(big);
    } else {
      length = sizeof small - 1;
      emit(device, small, length);
    }
  }
  va_end(again);
  return static_cast<int>(length);
}

void kvowrite(int device, const char* text, int length) {
  if (!text || length <= 0) return;
  emit(device, text, static_cast<size_t>(length));
}

void kvodestroy(kvopipe* pipe) {
  // Only handles this service made and has not yet released are deleted, so a null, foreign
  // or already released handle is harmless.
  if (!pipe || !state().scripts.erase(pipe)) return;
  delete pipe;
}

}  // extern "C"

namespace kvoref {

void capture(int device, bool on) {
  if (Route* r = route(device)) r->capturing = on;
}

std::string take(int device) {
  Route* r = route(device);
  if (!r) return std::string();
  std::string text;
  text.swap(r->captured);
  return text;
}

bool send_to_file(int device, const char* path) {
  Route* r = route(device);
  if (!r || !path) return false;
  std::string name;
  try {
    name = path;
  } catch (const std::exception&) {
    return false;
  }
  FILE* f = std::fopen(path, "a");
  if (!f) return false;
  close_file(*r);
  r->file = f;
  r->path.swap(name);
  r->file_open = ends_open(*r);
  return true;
}

void send_to_stdout(int device) {
  if (Route* r = route(device)) close_file(*r);
}

void start_line(int device) {
  const Route* r = route(device);
  // The line that matters is the one of the stream the device writes to now; any other device
  // number writes to standard output.
  const bool open = r && r->capturing ? r->capture_open
                    : r && r->file    ? ends_open(*r)
                                      : state().stdout_open;
  if (open) emit(device, "\n", 1);
}

kvopipe* make_script(const char* name, const char* text) {
  auto* pipe = new kvopipe{name ? name : "", text ? text : ""};
  state().scripts.insert(pipe);
  return pipe;
}

const char* script_name(const kvopipe* pipe) {
  const kvopipe* p = known_script(pipe);
  return p ? p->name.c_str() : "";
}

const char* script_text(const kvopipe* pipe) {
  const kvopipe* p = known_script(pipe);
  return p ? p->text.c_str() : "";
}

int live_scripts() { return static_cast<int>(state().scripts.size()); }

namespace detail {

// Script handles belong to whoever holds them and survive a reset.
void reset_print() {
  for (int d = 1; d <= 2; ++d) {
    Route& r = state().routes[d];
    close_file(r);
    r.capturing = false;
    r.captured.clear();
    r.capture_open = false;
  }
}

}  // namespace detail
std::string vformat(const char* fmt, va_list args) {
  if (!fmt) return std::string();
  char small[512];
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof small, fmt, args);
  std::string out;
  if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
    out.assign(small, static_cast<size_t>(n));
  } else if (n >= 0) {
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, again);
    out.assign(big.data(), static_cast<size_t>(n));
  }
  va_end(again);
  return out;
}

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string out = vformat(fmt, args);
  va_end(args);
  return out;
}

}  // namespace kvoref
