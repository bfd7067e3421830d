// SPDX-License-Identifier: BSD-3-Clause
// File names between the command line and std::filesystem. On Windows the command line and the
// C runtime's narrow calls spell names in the ANSI code page, while path::string() answers UTF-8
// there: a name with letters beyond ASCII taken through it names a file that does not exist.
#pragma once

#include <filesystem>
#include <string>

namespace kvoflow {

// The path a narrow file name (as the command line and fopen spell it) names.
std::filesystem::path path_of(const std::string& name);
// The path a file name of the flowsheet file names: TOML text is UTF-8 whatever the code page.
std::filesystem::path path_of_utf8(const std::string& text);
// The narrow file name of a path, spelt as path_of reads it. A letter the code page lacks
// becomes "?", which names no file, rather than a look-alike letter that may name another.
std::string name_of(const std::filesystem::path& path);
// A narrow file name as UTF-8 text, for the JSON results and the drawings.
std::string utf8_of(const std::string& name);
// The name a file name of the flowsheet file (UTF-8) is compared by: normalised, with '/' as
// separator, and on Windows, whose file systems do not tell capitals from small letters, in
// capitals. Two names with one key name one file.
std::string file_key(const std::string& text);
// The key of the file `path` names as the system resolves it: made absolute, with '.' and '..'
// resolved, and on Windows in the system's own full form (which also drops the dots and spaces
// that end a name: "R.pat." and "R.pat " are R.pat), in capitals, taken from the wide name, so
// that names in no code page stay apart. Two paths with one key name one file.
std::string full_file_key(const std::filesystem::path& path);
// The device a path names instead of a file, as Windows reads it ("NUL" for "nul.json" or
// "out\\aux" on most versions, "CON", "COM1"); empty for a file name and on other systems.
std::string device_of(const std::filesystem::path& path);
// The path by which the file calls reach `path` whatever its length: on Windows a path of
// kLongPath characters or more is made absolute and given the "\\?\" prefix, which lifts the
// 260-character limit (a writer adds a temporary suffix to the name, so the limit is met before
// the name itself reaches it). A path relative to a drive's current folder ("D:folder") is
// answered in full. Other paths, and every path elsewhere, are answered as given.
constexpr size_t kLongPath = 200;
std::filesystem::path long_form(const std::filesystem::path& path);
// What is at `path`, reached by its long form, as std::filesystem::status answers (not_found
// when nothing is, or can be, there; none when the look-up fails otherwise). The C runtime's
// status call, on which std::filesystem's queries rest, takes the '?' of a "\\?\" name for a
// wildcard and finds nothing there: on Windows such a name is looked up by its attributes
// instead.
std::filesystem::file_status status_of(const std::filesystem::path& path);
// Whether `a` and `b` are one file, both reached by their long forms; false when either is not
// there or cannot be looked up.
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b);
// Makes the folder `path` and those above it, reached by its long form; a failure shows when
// the folder is used.
void make_folders(const std::filesystem::path& path);

}  // namespace kvoflow
