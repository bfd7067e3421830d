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

#include <cstdint>
#include <cwchar>
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

namespace {

// The system's full form of `path` (absolute, backslashes, "." and ".." resolved, a device
// name as "\\.\NAME"); empty when it has none.
std::wstring full_path(const std::filesystem::path& path) {
  if (path.empty()) return std::wstring();
  const std::wstring& name = path.native();
  DWORD n = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (n == 0) return std::wstring();
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(name.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return std::wstring();
  full.resize(n);
  return full;
}

bool starts_with(const std::wstring& s, const wchar_t* prefix) {
  return s.compare(0, std::wcslen(prefix), prefix) == 0;
}

// `wide` in UTF-8 with '/' for '\\'. A half of a surrogate pair, which Windows allows in names
// (the current folder may hold one), is written as its own three bytes rather than refused, so
// that every name has a text of its own and none stops the caller with an exception.
std::string generic_text(const std::wstring& wide) {
  std::string text;
  text.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    uint32_t c = static_cast<uint16_t>(wide[i]);
    if (c >= 0xD800u && c < 0xDC00u && i + 1 < wide.size()) {
      const uint32_t low = static_cast<uint16_t>(wide[i + 1]);
      if (low >= 0xDC00u && low < 0xE000u) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c == 0x5Cu) c = 0x2Fu;  // a backslash, written as a slash
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else if (c < 0x800) {
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      text += static_cast<char>(0xE0 | (c >> 12));
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | (c >> 18));
      text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

}  // namespace

std::string file_key(const std::string& text) {
  std::wstring key = path_of_utf8(text).lexically_normal().generic_wstring();
  if (!key.empty()) CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
  return std::filesystem::path(key).u8string();
}

std::string full_file_key(const std::filesystem::path& path) {
  std::wstring key = full_path(path);
  if (key.empty()) key = path.lexically_normal().native();
  if (!key.empty()) CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
  return generic_text(key);
}

std::string device_of(const std::filesystem::path& path) {
  const std::wstring& name = path.native();
  // A name already in the device or long form is taken as it is written.
  if (starts_with(name, L"\\\\.\\") || starts_with(name, L"\\\\?\\")) return std::string();
  const std::wstring full = full_path(path);
  if (!starts_with(full, L"\\\\.\\")) return std::string();
  return name_of(std::filesystem::path(full.substr(4)));
}

std::filesystem::path long_form(const std::filesystem::path& path) {
  const std::wstring& name = path.native();
  if (name.size() < kLongPath && !path.is_relative()) return path;
  if (starts_with(name, L"\\\\?\\") || starts_with(name, L"\\\\.\\")) return path;
  const std::wstring full = full_path(path);
  if (starts_with(full, L"\\\\.\\") || starts_with(full, L"\\\\?\\")) return path;
  // "D:folder" is relative to the drive's own current folder, which the C++ library's folder
  // calls do not resolve (it makes no folders by such a name): it is given in full.
  const bool on_drive = path.has_root_name() && !path.has_root_directory();
  if (full.size() < kLongPath)
    return on_drive && !full.empty() ? std::filesystem::path(full) : path;
  // A share (\\server\share\...) takes the prefix's UNC form.
  if (starts_with(full, L"\\\\")) return std::filesystem::path(L"\\\\?\\UNC\\" + full.substr(2));
  return std::filesystem::path(L"\\\\?\\" + full);
}

std::filesystem::file_status status_of(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  const fs::path name = long_form(path);
  std::error_code ec;
  if (!starts_with(name.native(), L"\\\\?\\")) return fs::status(name, ec);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // A name no file can have, or on a drive or share that is not there, names nothing, as it
    // does when short; any other failure is an error, which std::filesystem answers with none.
    switch (GetLastError()) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_INVALID_NAME:
      case ERROR_BAD_PATHNAME:
      case ERROR_INVALID_DRIVE:
      case ERROR_BAD_NETPATH:
      case ERROR_BAD_NET_NAME:
        return fs::file_status(fs::file_type::not_found);
      default:
        return fs::file_status(fs::file_type::none);
    }
  }
  fs::perms perms = fs::perms::all;
  if (attributes & FILE_ATTRIBUTE_READONLY)
    perms &= ~(fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write);
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    return fs::file_status(fs::file_type::directory, perms);
  if (attributes & FILE_ATTRIBUTE_DEVICE) return fs::file_status(fs::file_type::character, perms);
  return fs::file_status(fs::file_type::regular, perms);
}

bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  // A file is known by its volume and its index on it, read through a handle that asks for no
  // access, so that a file open elsewhere or a folder can be asked too.
  const auto identify = [](const std::filesystem::path& p, BY_HANDLE_FILE_INFORMATION* info) {
    const HANDLE h =
        CreateFileW(long_form(p).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return known;
  };
  BY_HANDLE_FILE_INFORMATION x{}, y{};
  return identify(a, &x) && identify(b, &y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

void make_folders(const std::filesystem::path& path) {
  const std::filesystem::path name = long_form(path);
  std::error_code ec;
  if (!starts_with(name.native(), L"\\\\?\\")) {
    std::filesystem::create_directories(name, ec);
    return;
  }
  // std::filesystem would find none of the folders on the way (see status_of): each is made in
  // turn, and those already there refuse harmlessly.
  const std::wstring& s = name.native();
  for (size_t at = s.find(L'\\', 4);; at = s.find(L'\\', at + 1)) {
    CreateDirectoryW(s.substr(0, at).c_str(), nullptr);
    if (at == std::wstring::npos) break;
  }
}

#else

std::filesystem::path path_of(const std::string& name) { return std::filesystem::path(name); }
std::filesystem::path path_of_utf8(const std::string& text) { return std::filesystem::path(text); }
std::string name_of(const std::filesystem::path& path) { return path.string(); }
std::string utf8_of(const std::string& name) { return name; }
std::string file_key(const std::string& text) {
  return std::filesystem::path(text).lexically_normal().generic_string();
}
std::string full_file_key(const std::filesystem::path& path) {
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::absolute(path, ec);
  return (ec ? path : full).lexically_normal().generic_string();
}
std::string device_of(const std::filesystem::path&) { return std::string(); }
std::filesystem::path long_form(const std::filesystem::path& path) { return path; }
std::filesystem::file_status status_of(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::status(path, ec);
}
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}
void make_folders(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
}

#endif

}  // namespace kvoflow
