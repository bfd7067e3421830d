// SPDX-License-Identifier: BSD-3-Clause
// File names in the spelling of the command line (the ANSI code page on Windows, bytes as they
// are elsewhere) and of the flowsheet file (UTF-8).
#include "paths.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace kvoflow {

#if defined(_WIN32)

namespace {

// The path that bytes in `code_page` spell.
std::filesystem::path widened(const std::string& name, UINT code_page) {
  const int bytes = static_cast<int>(name.size());
  const int n = MultiByteToWideChar(code_page, 0, name.data(), bytes, nullptr, 0);
  if (n <= 0) return std::filesystem::path();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, name.data(), bytes, wide.data(), n);
  return std::filesystem::path(wide);
}

}  // namespace

std::filesystem::path path_of(const std::string& name) { return widened(name, CP_ACP); }

std::filesystem::path path_of_utf8(const std::string& text) { return widened(text, CP_UTF8); }

std::string name_of(const std::filesystem::path& path) {
  const std::wstring& wide = path.native();
  const int chars = static_cast<int>(wide.size());
  // UTF-8 holds every letter and takes no such flag.
  const DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int n =
      WideCharToMultiByte(CP_ACP, flags, wide.data(), chars, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string name(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, flags, wide.data(), chars, name.data(), n, nullptr, nullptr);
  return name;
}

std::string utf8_of(const std::string& name) { return path_of(name).u8string(); }

#else

std::filesystem::path path_of(const std::string& name) { return std::filesystem::path(name); }
std::filesystem::path path_of_utf8(const std::string& text) { return std::filesystem::path(text); }
std::string name_of(const std::filesystem::path& path) { return path.string(); }
std::string utf8_of(const std::string& name) { return name; }

#endif

}  // namespace kvoflow
