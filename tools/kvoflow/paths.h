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

}  // namespace kvoflow
