// SPDX-License-Identifier: BSD-3-Clause
// The POSIX file calls the pattern file code uses, in their Windows spellings (mingw-w64's CRT
// and kernel32). Included instead of <unistd.h> when building for Windows.
#pragma once

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <windows.h>

#include <cstddef>
#include <string>

// No links are followed by _open anyway. A descriptor not inherited by child processes is
// Windows' close-on-exec; every descriptor here is also binary, so no line end is translated.
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC (_O_NOINHERIT | _O_BINARY)
#endif
// A folder cannot be opened as a file on Windows: the open fails and the folder is not synced,
// which the callers accept.
#ifndef O_DIRECTORY
#define O_DIRECTORY 0
#endif

// Forces the file's data to the medium.
inline int fsync(int fd) { return _commit(fd); }

// Windows files carry no permission bits beyond read-only; a new file is writable.
inline int fchmod(int, unsigned) { return 0; }

inline struct tm* localtime_r(const time_t* now, struct tm* out) {
  return localtime_s(out, now) == 0 ? out : nullptr;
}

// The calls below take names in UTF-16, as std::filesystem::path holds them here: the CRT's
// narrow calls read names in their own code page, which is not UTF-8 even in a program whose
// manifest makes UTF-8 its ANSI code page.
inline int kvo_open(const wchar_t* name, int flags, int mode) { return _wopen(name, flags, mode); }

// Whether the file exists, from its attributes (the CRT's _wstat finds nothing at a name in the
// long form, below); a Windows file has no permission bits to pass on.
inline bool kvo_mode_of(const wchar_t* name, unsigned* mode) {
  *mode = 0;
  return GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES;
}

inline int kvo_unlink(const wchar_t* name) { return _wunlink(name); }

// Renames `from` over `to`, replacing an existing file as POSIX rename does (the CRT's rename
// refuses when `to` exists).
inline int kvo_replace_file(const wchar_t* from, const wchar_t* to) {
  return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : -1;
}

// Windows' classic file calls take paths of fewer than MAX_PATH (260) characters, and a pattern
// file is written through a temporary whose name is 19 characters longer than the file's. A path
// whose full form has kvo_long_path characters or more is therefore reached by that full form
// with the "\\?\" prefix ("\\?\UNC\" for a share), which lifts the limit; a relative path is
// made absolute first, since the long form takes no current folder. Shorter paths, names already
// in the long or device form ("\\?\", "\\.\") and paths the system names a device by are
// answered as given.
constexpr size_t kvo_long_path = 200;

inline std::wstring kvo_long_form(const std::wstring& name) {
  const auto starts_with = [](const std::wstring& s, const wchar_t* prefix) {
    return s.compare(0, std::char_traits<wchar_t>::length(prefix), prefix) == 0;
  };
  if (name.empty() || starts_with(name, L"\\\\?\\") || starts_with(name, L"\\\\.\\")) return name;
  DWORD n = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (n == 0) return name;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(name.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return name;
  full.resize(n);
  if (full.size() < kvo_long_path || starts_with(full, L"\\\\.\\") || starts_with(full, L"\\\\?\\"))
    return name;
  if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// What is at a name in the long form: 0 nothing, 1 a file, 2 anything else (a folder, a
// device), -1 unknown. The CRT's _wstat, on which the C++ library's status calls rest, takes
// the '?' of the prefix for a wildcard and finds nothing there; the attributes tell.
inline int kvo_long_kind(const std::wstring& name) {
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : -1;
  }
  return attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE) ? 2 : 1;
}
