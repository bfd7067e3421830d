// SPDX-License-Identifier: BSD-3-Clause
// Reading the flowsheet file: TOML through toml++, then every table walked by hand so that each
// unknown key, wrong kind of value or clash is reported at its own line and column.
#include "flowfile.h"
#include "paths.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <unordered_map>
#include <vector>

#include <toml++/toml.h>

#include <kvoblk/kvoblk.h>

namespace kvoflow {

namespace {

// A sentence as one line of plain text: the names and values it quotes from the file, and the
// TOML reader's account of what it saw, may hold line breaks and other control characters,
// which are written as escapes ("\n", "\t", "\r", "\u001B").
std::string one_line(const std::string& sentence) {
  std::string out;
  out.reserve(sentence.size());
  for (const char c : sentence) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7f) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04X", u);
      out += code;
    }
  }
  return out;
}

}  // namespace

void Diagnostics::error(const Pos& pos, const std::string& sentence) {
  entries_.push_back({pos, file_ + ":" + std::to_string(pos.line) + ":" +
                               std::to_string(pos.column) + ": " + one_line(sentence)});
}

void Diagnostics::error(const std::string& sentence) {
  entries_.push_back({Pos{}, file_ + ": " + one_line(sentence)});
}

std::vector<std::string> Diagnostics::lines() const {
  std::vector<Entry> sorted = entries_;
  std::stable_sort(sorted.begin(), sorted.end(), [](const Entry& a, const Entry& b) {
    const long long la = a.pos.line > 0 ? a.pos.line : 1LL << 40,
                    lb = b.pos.line > 0 ? b.pos.line : 1LL << 40;
    return la != lb ? la < lb : a.pos.column < b.pos.column;
  });
  std::vector<std::string> out;
  out.reserve(sorted.size());
  for (const Entry& e : sorted) out.push_back(e.text);
  return out;
}

const char* kind_name(Value::Kind kind) {
  switch (kind) {
    case Value::INTEGER:
      return "a whole number";
    case Value::REAL:
      return "a number";
    case Value::TEXT:
      return "a text";
    case Value::BOOLEAN:
      return "true or false";
    default:
      return "a list of numbers";
  }
}

// The codes' names, index = code (KVOBLK_ANALYTIC.. and KVOBLK_PAT_SELF..); 0 is "DEFAULT".
const char* const kMethodNames[] = {"DEFAULT", "ANALYTIC", "NUMERIC", "UPDATE_NUMERIC",
                                    "UPDATE_ANALYTIC"};
const char* const kPatternNames[] = {"DEFAULT", "SELF", "NUMERIC", "RESTORE"};

const char* method_name(int method) {
  return method >= KVOBLK_ANALYTIC && method <= KVOBLK_UPDATE_ANALYTIC ? kMethodNames[method]
                                                                       : kMethodNames[0];
}

const char* pattern_name(int pattern) {
  return pattern >= KVOBLK_PAT_SELF && pattern <= KVOBLK_PAT_RESTORE ? kPatternNames[pattern]
                                                                     : kPatternNames[0];
}

const Parameter* BlockSpec::param(const std::string& name) const {
  for (const Parameter& p : params)
    if (p.name == name) return &p;
  return nullptr;
}

const BlockSpec* FlowsheetSpec::block(const std::string& id) const {
  for (const BlockSpec& b : blocks)
    if (b.id == id) return &b;
  return nullptr;
}

namespace {

Pos pos_of(const toml::source_region& src) {
  return {static_cast<int>(src.begin.line), static_cast<int>(src.begin.column)};
}
Pos pos_of(const toml::node& node) { return pos_of(node.source()); }
Pos pos_of(const toml::key& key) { return pos_of(key.source()); }

std::string in_quotes(const std::string& s) { return "\"" + s + "\""; }

// What kind of TOML value a node holds, in words, for "must be ..., not ..." sentences.
std::string what_is(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::table:
      return "a table";
    case toml::node_type::array:
      return "a list";
    case toml::node_type::string:
      return "a text";
    case toml::node_type::integer:
      return "a whole number";
    case toml::node_type::floating_point:
      return "a number";
    case toml::node_type::boolean:
      return "true or false";
    default:
      return "a date or time";
  }
}

// Block ids, model names and port names: a letter, then letters, digits, '_' or '-', at most
// 32 characters. They become parts of variable names, which use '.' as separator.
bool good_name(const std::string& s) {
  if (s.empty() || s.size() > 32 || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
  return true;
}

class Reader {
 public:
  Reader(Diagnostics& diag, FlowsheetSpec& spec) : diag_(diag), spec_(spec) {}

  void read(const toml::table& root) {
    for (auto&& [key, node] : root) {
      const std::string k(key.str());
      if (k == "title")
        text(node, "the flowsheet's title", &spec_.title);
      else if (k == "diagnostic_level")
        level(node, &spec_.diag_level);
      else if (k == "solver")
        solver(node);
      else if (k == "plugins")
        plugins(node);
      else if (k == "block")
        blocks(node);
      else if (k == "connection")
        connections(node);
      else if (k == "fix")
        values(node, "fix", &spec_.fixed);
      else if (k == "guess")
        values(node, "guess", &spec_.guesses);
      else
        diag_.error(pos_of(key), "unknown entry " + in_quotes(k) +
                                     "; the file knows title, diagnostic_level, [solver], "
                                     "[plugins], [[block]], [[connection]], [fix] and [guess]");
    }
    if (spec_.blocks.empty()) diag_.error(Pos{1, 1}, "the flowsheet has no [[block]]");
  }

 private:
  Diagnostics& diag_;
  FlowsheetSpec& spec_;
  // Blocks read so far (positions in spec_.blocks) by id and by RESTORE pattern file, so that a
  // flowsheet of many thousand blocks is read without a search through all of them per block.
  std::unordered_map<std::string, size_t> by_id_, by_pattern_file_;

  bool text(const toml::node& node, const std::string& what, std::string* out) {
    if (const auto* s = node.as_string()) {
      *out = s->get();
      return true;
    }
    diag_.error(pos_of(node), what + " must be a text in quotes, not " + what_is(node));
    return false;
  }

  bool number(const toml::node& node, const std::string& what, double* out) {
    if (const auto* i = node.as_integer()) {
      *out = static_cast<double>(i->get());
      return true;
    }
    if (const auto* f = node.as_floating_point()) {
      if (std::isfinite(f->get())) {
        *out = f->get();
        return true;
      }
      diag_.error(pos_of(node), what + " must be a finite number");
      return false;
    }
    diag_.error(pos_of(node), what + " must be a number, not " + what_is(node));
    return false;
  }

  bool whole(const toml::node& node, const std::string& what, long long lo, long long hi,
             int* out) {
    const auto* i = node.as_integer();
    if (!i) {
      diag_.error(pos_of(node), what + " must be a whole number, not " + what_is(node));
      return false;
    }
    if (i->get() < lo || i->get() > hi) {
      diag_.error(pos_of(node),
                  what + " must be between " + std::to_string(lo) + " and " + std::to_string(hi));
      return false;
    }
    *out = static_cast<int>(i->get());
    return true;
  }

  // A file name ends at its first NUL character wherever the system takes it, so a name that
  // holds one would read or write another file than the one written (outside the work
  // directory, even, after a "/.." behind the NUL).
  bool file_name(const toml::node& node, const std::string& what, const std::string& name) {
    if (name.find('\0') == std::string::npos) return true;
    diag_.error(pos_of(node), what + " holds the character \\u0000, which no file name can");
    return false;
  }

  void level(const toml::node& node, int* out) { whole(node, "diagnostic_level", 0, 9, out); }

  const toml::table* table(const toml::node& node, const std::string& what) {
    if (const auto* t = node.as_table()) return t;
    diag_.error(pos_of(node), what + " must be a table, not " + what_is(node));
    return nullptr;
  }

  void solver(const toml::node& node) {
    const toml::table* t = table(node, "[solver]");
    if (!t) return;
    SolverSpec& s = spec_.solver;
    for (auto&& [key, v] : *t) {
      const std::string k(key.str());
      if (k == "max_iterations") {
        whole(v, "max_iterations", 1, 10000, &s.max_iterations);
      } else if (k == "tolerance" || k == "step_limit" || k == "balance_tolerance") {
        double x = 0;
        if (!number(v, k, &x)) continue;
        if (!(x > 0.0)) {
          diag_.error(pos_of(v), k + " must be greater than 0");
          continue;
        }
        if (k == "step_limit" && x > 1e6) {
          diag_.error(pos_of(v), "step_limit must be at most 1e6");
          continue;
        }
        (k == "tolerance"    ? s.tolerance
         : k == "step_limit" ? s.step_limit
                             : s.balance_tolerance) = x;
      } else {
        diag_.error(pos_of(key), "unknown solver setting " + in_quotes(k) +
                                     "; known are max_iterations, tolerance, step_limit and "
                                     "balance_tolerance");
      }
    }
  }

  void plugins(const toml::node& node) {
    const toml::table* t = table(node, "[plugins]");
    if (!t) return;
    for (auto&& [key, v] : *t) {
      PluginSpec p;
      p.model = std::string(key.str());
      p.pos = pos_of(v);
      if (!good_name(p.model)) {
        diag_.error(pos_of(key), "the model name " + in_quotes(p.model) +
                                     " must start with a letter and hold only letters, digits, "
                                     "'_' and '-' (at most 32)");
        continue;
      }
      if (!text(v, "the plug-in of model " + p.model + " (a shared object's path)", &p.path)) {
        spec_.unreadable_plugins.push_back(p.model);
        continue;
      }
      if (p.path.empty()) {
        diag_.error(pos_of(v), "the plug-in of model " + p.model + " must name a shared object");
        spec_.unreadable_plugins.push_back(p.model);
        continue;
      }
      if (!file_name(v, "the plug-in of model " + p.model, p.path)) {
        spec_.unreadable_plugins.push_back(p.model);
        continue;
      }
      spec_.plugins.push_back(p);
    }
  }

  void blocks(const toml::node& node) {
    const toml::array* list = node.as_array();
    if (!list || !list->is_array_of_tables()) {
      diag_.error(pos_of(node), "blocks are written as [[block]] tables");
      return;
    }
    for (const toml::node& b : *list) block(*b.as_table());
  }

  void block(const toml::table& t) {
    BlockSpec b;
    b.pos = pos_of(t);
    bool has_id = false, has_model = false, id_reported = false;
    for (auto&& [key, v] : t) {
      const std::string k(key.str());
      if (k == "id") {
        has_id = true;
        b.id_pos = pos_of(v);
        if (!text(v, "a block's id", &b.id)) {
          b.id.clear();
          id_reported = true;
        }
      } else if (k == "model") {
        has_model = true;
        b.model_pos = pos_of(v);
        if (!text(v, "a block's model", &b.model)) {
          b.model.clear();
        } else if (b.model.empty()) {
          diag_.error(b.model_pos, "a block's model must name a model");
        }
      } else if (k == "method") {
        b.method_pos = pos_of(v);
        std::string m;
        if (!text(v, "method", &m)) continue;
        for (int c = KVOBLK_ANALYTIC; c <= KVOBLK_UPDATE_ANALYTIC; ++c)
          if (m == method_name(c)) b.method = c;
        if (b.method == 0)
          diag_.error(pos_of(v), "unknown derivative method " + in_quotes(m) +
                                     "; use ANALYTIC, NUMERIC, UPDATE_NUMERIC or UPDATE_ANALYTIC");
      } else if (k == "pattern") {
        b.pattern_pos = pos_of(v);
        std::string m;
        if (!text(v, "pattern", &m)) continue;
        for (int c = KVOBLK_PAT_SELF; c <= KVOBLK_PAT_RESTORE; ++c)
          if (m == pattern_name(c)) b.pattern = c;
        if (b.pattern == 0)
          diag_.error(pos_of(v),
                      "unknown pattern source " + in_quotes(m) + "; use SELF, NUMERIC or RESTORE");
      } else if (k == "pattern_file") {
        b.pattern_file_pos = pos_of(v);
        if (text(v, "pattern_file", &b.pattern_file) && b.pattern_file.empty())
          diag_.error(pos_of(v), "pattern_file must name a file");
        else if (!file_name(v, "pattern_file", b.pattern_file))
          b.pattern_file.clear();
      } else if (k == "diagnostic_level") {
        b.diag_pos = pos_of(v);
        level(v, &b.diag_level);
      } else if (k == "parameters") {
        if (const toml::table* p = table(v, "a block's parameters"))
          parameters(*p, &b);
        else
          b.unreadable_table = true;
      } else {
        diag_.error(pos_of(key), "unknown block entry " + in_quotes(k) +
                                     "; a block has id, model, method, pattern, pattern_file, "
                                     "diagnostic_level and [block.parameters]");
      }
    }
    if (!has_id) diag_.error(b.pos, "this block has no id");
    if (!has_model) diag_.error(b.pos, "this block has no model");
    if (has_id && !id_reported) {
      if (!good_name(b.id)) {
        diag_.error(b.id_pos, "the block id " + in_quotes(b.id) +
                                  " must start with a letter and hold only letters, digits, '_' "
                                  "and '-' (at most 32)");
      } else if (const auto other = by_id_.find(b.id); other != by_id_.end()) {
        diag_.error(b.id_pos, "a block with id " + in_quotes(b.id) +
                                  " is already defined at line " +
                                  std::to_string(spec_.blocks[other->second].id_pos.line));
        return;
      }
    }
    if (b.pattern == KVOBLK_PAT_RESTORE && b.pattern_file.empty() && !b.id.empty())
      b.pattern_file = b.id + ".pat";
    if (!b.pattern_file.empty() && b.pattern != KVOBLK_PAT_RESTORE && b.pattern_file_pos.line)
      diag_.error(b.pattern_file_pos, "pattern_file is used only with pattern = \"RESTORE\"");
    // Two blocks restoring from one file would each overwrite the other's pattern and never
    // restore again.
    if (b.pattern == KVOBLK_PAT_RESTORE && !b.pattern_file.empty()) {
      const auto [at, first] =
          by_pattern_file_.emplace(file_key(b.pattern_file), spec_.blocks.size());
      if (!first) {
        const BlockSpec& other = spec_.blocks[at->second];
        // Blocks "r1" and "R1" are two blocks, but their files are one on Windows.
        const auto normal = [](const std::string& name) {
          return std::filesystem::path(name).lexically_normal().generic_string();
        };
        const bool by_case = normal(b.pattern_file) != normal(other.pattern_file);
        diag_.error(b.pattern_file_pos.line ? b.pattern_file_pos
                    : b.id_pos.line         ? b.id_pos
                                            : b.pos,
                    "pattern file " + b.pattern_file + " is already used by " +
                        (other.id.empty() ? std::string("the block") : "block " + other.id) +
                        " at line " +
                        std::to_string(other.pattern_file_pos.line ? other.pattern_file_pos.line
                                       : other.id_pos.line         ? other.id_pos.line
                                                                   : other.pos.line) +
                        (by_case ? " (" + other.pattern_file +
                                       ": Windows does not tell capitals from small letters in "
                                       "file names)"
                                 : std::string()));
      }
    }
    if (!b.id.empty()) by_id_.emplace(b.id, spec_.blocks.size());
    spec_.blocks.push_back(b);
  }

  void parameters(const toml::table& t, BlockSpec* b) {
    for (auto&& [key, v] : t) {
      Parameter p;
      p.name = std::string(key.str());
      p.pos = pos_of(key);
      p.value.pos = pos_of(v);
      if (const auto* i = v.as_integer()) {
        p.value.kind = Value::INTEGER;
        p.value.integer = i->get();
        p.value.real = static_cast<double>(i->get());
      } else if (const auto* f = v.as_floating_point()) {
        p.value.kind = Value::REAL;
        p.value.real = f->get();
        if (!std::isfinite(p.value.real)) {
          diag_.error(p.value.pos, "parameter " + p.name + " must be a finite number");
          b->unreadable_params.push_back(p.name);
          continue;
        }
      } else if (const auto* s = v.as_string()) {
        p.value.kind = Value::TEXT;
        p.value.text = s->get();
      } else if (const auto* l = v.as_boolean()) {
        p.value.kind = Value::BOOLEAN;
        p.value.boolean = l->get();
      } else if (const auto* a = v.as_array()) {
        p.value.kind = Value::LIST;
        bool good = true;
        for (const toml::node& x : *a) {
          double d = 0;
          if (!number(x, "each entry of parameter " + p.name, &d)) {
            good = false;
            break;
          }
          p.value.list.push_back(d);
        }
        if (!good) {
          b->unreadable_params.push_back(p.name);
          continue;
        }
      } else {
        diag_.error(p.value.pos, "parameter " + p.name +
                                     " must be a number, a text, true or "
                                     "false, or a list of numbers, not " +
                                     what_is(v));
        b->unreadable_params.push_back(p.name);
        continue;
      }
      b->params.push_back(p);
    }
    // The TOML table answers its keys sorted by name; a plug-in gets them in the file's order.
    std::stable_sort(b->params.begin(), b->params.end(),
                     [](const Parameter& x, const Parameter& y) {
                       return x.pos.line != y.pos.line ? x.pos.line < y.pos.line
                                                       : x.pos.column < y.pos.column;
                     });
  }

  bool port_ref(const toml::node& node, const std::string& what, PortRef* ref) {
    std::string s;
    if (!text(node, what, &s)) return false;
    const size_t dot = s.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == s.size() ||
        s.find('.', dot + 1) != std::string::npos) {
      diag_.error(pos_of(node), what + " must be written BLOCK.PORT, not " + in_quotes(s));
      return false;
    }
    ref->block = s.substr(0, dot);
    ref->port = s.substr(dot + 1);
    if (!by_id_.count(ref->block)) {
      diag_.error(pos_of(node), "there is no block " + in_quotes(ref->block) + " to connect");
      return false;
    }
    return true;
  }

  void connections(const toml::node& node) {
    const toml::array* list = node.as_array();
    if (!list || !list->is_array_of_tables()) {
      diag_.error(pos_of(node), "connections are written as [[connection]] tables");
      return;
    }
    // Which port is taken, and where.
    std::map<std::string, int> used;
    for (const toml::node& n : *list) {
      const toml::table& t = *n.as_table();
      ConnectionSpec c;
      c.pos = pos_of(t);
      bool good = true, has_from = false, has_to = false;
      for (auto&& [key, v] : t) {
        const std::string k(key.str());
        if (k == "from") {
          has_from = true;
          c.from_pos = pos_of(v);
          good = port_ref(v, "from", &c.from) && good;
        } else if (k == "to") {
          has_to = true;
          c.to_pos = pos_of(v);
          good = port_ref(v, "to", &c.to) && good;
        } else {
          diag_.error(pos_of(key), "unknown connection entry " + in_quotes(k) +
                                       "; a connection has from = \"BLOCK.PORT\" (an outlet) "
                                       "and to = \"BLOCK.PORT\" (an inlet)");
          good = false;
        }
      }
      if (!has_from) diag_.error(c.pos, "this connection has no from = \"BLOCK.PORT\"");
      if (!has_to) diag_.error(c.pos, "this connection has no to = \"BLOCK.PORT\"");
      if (!good || !has_from || !has_to) continue;
      if (c.from.block == c.to.block && c.from.port == c.to.port) {
        diag_.error(c.to_pos, "port " + c.to.text() + " cannot be connected to itself");
        continue;
      }
      bool twice = false;
      for (const auto& [ref, at] : {std::pair<const PortRef&, Pos>{c.from, c.from_pos},
                                    std::pair<const PortRef&, Pos>{c.to, c.to_pos}}) {
        auto [it, fresh] = used.emplace(ref.text(), at.line);
        if (!fresh) {
          diag_.error(at, "port " + ref.text() + " is already connected at line " +
                              std::to_string(it->second));
          twice = true;
        }
      }
      if (!twice) spec_.connections.push_back(c);
    }
  }

  // The values under a variable name written without quotes, each reported with the name it
  // was meant to have. Walked without recursion: the file decides how deep the tables go.
  void unquoted(const toml::table& top, const std::string& name, const Pos& at) {
    std::vector<std::pair<const toml::table*, std::string>> open{{&top, name}};
    while (!open.empty()) {
      const auto [t, prefix] = open.back();
      open.pop_back();
      // A table with nothing in it ("M1 = {}") holds no value to name; it is still no number.
      if (t->empty())
        diag_.error(pos_of(*t).line == at.line ? at : pos_of(*t),
                    "the value of " + prefix + " must be a number, not " + what_is(*t));
      for (auto&& [key, v] : *t) {
        const std::string full = prefix + "." + std::string(key.str());
        if (const toml::table* deeper = v.as_table())
          open.emplace_back(deeper, full);
        else  // at the name's first part when it is on the line of the name's start
          diag_.error(pos_of(key).line == at.line ? at : pos_of(key),
                      "write the variable name in quotes, as in \"" + full +
                          "\" = 1.0, so that its dots stay part of the name");
      }
    }
  }

  void values(const toml::node& node, const std::string& section, std::vector<VarValue>* out) {
    const toml::table* t = table(node, "[" + section + "]");
    if (!t) return;
    for (auto&& [key, v] : *t) {
      VarValue x;
      x.name = std::string(key.str());
      x.pos = pos_of(key);
      // A key written without quotes splits at its dots into nested tables: each value in them
      // is named back with its whole dotted name.
      if (const toml::table* nested = v.as_table()) {
        unquoted(*nested, x.name, x.pos);
        continue;
      }
      if (x.name.empty()) {
        diag_.error(x.pos, "a variable name is empty; name the variable, as in \"R1.IN.F\" = 1.0");
        continue;
      }
      if (number(v, "the value of " + x.name, &x.value)) out->push_back(x);
    }
  }
};

// Keys of more dotted parts than this are refused before parsing: no entry of a flowsheet
// file has more than two, and the TOML reader nests a table per part by recursion, so a key of
// some ten thousand parts would overflow the stack.
constexpr int kMaxKeyParts = 16;

// Where the first key of more than kMaxKeyParts parts starts; line 0 when there is none.
// Strings and comments are skipped. A float has one dot between two runs of digits, which this
// counts as a key of two parts.
Pos overlong_key(const std::string& t) {
  const size_t n = t.size();
  int line = 1, dots = 0;
  size_t line_start = 0, i = 0;
  bool in_key = false, after_dot = false;
  Pos start;
  const auto skip_to = [&](const char* close, bool escapes, bool multi_line) {
    const size_t len = std::strlen(close);
    while (i < n && t.compare(i, len, close) != 0) {
      if (t[i] == '\n') {
        if (!multi_line) return;
        ++line;
        line_start = i + 1;
      }
      i += escapes && t[i] == '\\' && i + 1 < n && t[i + 1] != '\n' ? 2 : 1;
    }
    i = std::min(n, i + len);
  };
  while (i < n) {
    const char c = t[i];
    const bool bare = std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
    if (bare || c == '"' || c == '\'') {
      if (!after_dot) {
        dots = 0;
        start = {line, static_cast<int>(i - line_start) + 1};
      }
      if (bare) {
        while (i < n &&
               (std::isalnum(static_cast<unsigned char>(t[i])) || t[i] == '_' || t[i] == '-'))
          ++i;
      } else {
        const bool triple = t.compare(i, 3, std::string(3, c)) == 0;
        i += triple ? 3 : 1;
        skip_to(triple ? (c == '"' ? "\"\"\"" : "'''") : (c == '"' ? "\"" : "'"), c == '"', triple);
      }
      in_key = true;
      after_dot = false;
      continue;
    }
    if (c == '.' && in_key && !after_dot) {
      if (++dots >= kMaxKeyParts) return start;
      after_dot = true;
    } else if (c != ' ' && c != '\t') {
      in_key = after_dot = false;
      if (c == '#') {
        while (i < n && t[i] != '\n') ++i;
        continue;
      }
      if (c == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    ++i;
  }
  return Pos{};
}

}  // namespace

std::string tolerance_text(double x) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1e", x);
  if (char* dot = std::strchr(text, '.'); dot && dot[1] == '0' && dot[2] == 'e')
    std::memmove(dot, dot + 2, std::strlen(dot + 2) + 1);
  return text;
}

FlowsheetSpec parse_flowsheet(const std::string& text, const std::string& name, Diagnostics& diag) {
  FlowsheetSpec spec;
  spec.file = name;
  if (const Pos at = overlong_key(text); at.line > 0) {
    diag.error(at, "this key joins more than " + std::to_string(kMaxKeyParts) +
                       " names with dots, deeper than any entry of a flowsheet file; a variable "
                       "name goes in quotes, as in \"R1.IN.F\" = 1.0");
    return spec;
  }
  toml::table root;
  try {
    root = toml::parse(text, name);
  } catch (const toml::parse_error& e) {
    std::string what(e.description());
    // A Windows path written as "C:\Models\x.dll" reads as escapes ("\M" is none, "\U"
    // starts a Unicode letter's number).
    if (what.find("escape sequence") != std::string::npos ||
        what.find("unicode scalar sequence") != std::string::npos)
      what += "; write a backslash in a file name as \\\\ or put the name in single quotes";
    diag.error(pos_of(e.source()), "this is not valid TOML: " + what);
    return spec;
  }
  Reader(diag, spec).read(root);
  return spec;
}

FlowsheetSpec read_flowsheet(const std::string& name, Diagnostics& diag) {
  const std::filesystem::path path = long_form(path_of(name));
  std::error_code ec;
  // "con.toml" copied from another system is there, but Windows opens the console by that name.
  if (const std::string device = device_of(path); !device.empty()) {
    diag.error("Windows takes this name for the device " + device +
               ", not a file; rename the flowsheet file");
    FlowsheetSpec spec;
    spec.file = name;
    return spec;
  }
  const std::filesystem::file_status status = status_of(path);
  if (!std::filesystem::is_regular_file(status)) {
    diag.error(std::filesystem::is_directory(status) ? "this is a folder, not a flowsheet file"
               : std::filesystem::exists(status)
                   ? "this is a device or pipe, not a flowsheet file; save the flowsheet as a file"
                   : "there is no flowsheet file by this name");
    FlowsheetSpec spec;
    spec.file = name;
    return spec;
  }
  // A flowsheet is a page or two of text; anything far larger is not one.
  constexpr std::uintmax_t kMaxBytes = 16u << 20;
  const auto too_large = [&] {
    diag.error("the file is larger than 16 MB, which no flowsheet is");
    FlowsheetSpec spec;
    spec.file = name;
    return spec;
  };
  // The size is not known at a long-form name (see status_of): the reading below stops past
  // the limit instead.
  if (const std::uintmax_t size = std::filesystem::file_size(path, ec); !ec && size > kMaxBytes)
    return too_large();
  std::ifstream in(path, std::ios::binary);
  std::string text;
  std::vector<char> chunk(1u << 16);
  while (in &&
         (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())), in.gcount() > 0)) {
    text.append(chunk.data(), static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxBytes) return too_large();
  }
  if (!in.eof()) {
    diag.error("the file cannot be read");
    FlowsheetSpec spec;
    spec.file = name;
    return spec;
  }
  return parse_flowsheet(text, name, diag);
}

}  // namespace kvoflow
