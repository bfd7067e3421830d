// SPDX-License-Identifier: BSD-3-Clause
// The reference host's container, ports and port materials.
#include <cstring>
#include <sstream>
#include <string>

#include "kvoconnect.h"

#include "kvorefhost.h"

namespace kvoref {

// ---- Container --------------------------------------------------------------------------------

Container::Container(const Lists& lists, int var_offset, int eqn_offset, int jac_offset)
    : lists_(lists), var_offset_(var_offset), eqn_offset_(eqn_offset), jac_offset_(jac_offset) {}

Container::~Container() = default;

bool Container::isof_type(const char* type) const {
  return accepts_type && type && std::strcmp(type, "NUXEOBlockCallback") == 0;
}

int Container::run_script(NUXEOBlock* block, kvopipe* script, EBSContext* ctx, int nargs,
                          const value_t* /*args*/) {
  ScriptRun run{block, script_name(script), script_text(script), ctx != nullptr, nargs};
  if (echo_scripts) kvoprintf(kvHisDev, "script %s: %s\n", run.name.c_str(), run.text.c_str());
  int result = script_result;
  if (connections && find_port && run.name == "CONNECT" && !connect_lines(run.text)) result = 1;
  scripts_run.push_back(std::move(run));
  return result;
}

// Makes the connections a CONNECT script asks for, one per line of the form
// "CONNECT <block>.<port> TO <block>.<port>"; false when one is refused.
bool Container::connect_lines(const std::string& text) {
  bool ok = true;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string verb, from, to_word, to, extra;
    if (!(words >> verb >> from >> to_word >> to) || verb != "CONNECT" || to_word != "TO" ||
        (words >> extra))
      continue;
    auto split = [this](const std::string& dotted) -> Port* {
      const size_t dot = dotted.rfind('.');
      if (dot == std::string::npos || dot == 0 || dot + 1 == dotted.size()) return nullptr;
      return find_port(dotted.substr(0, dot), dotted.substr(dot + 1));
    };
    Port* a = split(from);
    Port* b = split(to);
    if (!a || !b) {
      kvoprintf(kvHisDev, "!! CONNECT %s TO %s: no such port %s\n", from.c_str(), to.c_str(),
                !a ? from.c_str() : to.c_str());
      ok = false;
    } else if (connections->connect(a, b) == 0) {
      ok = false;
    }
  }
  return ok;
}

void Container::port_removed(nux_port* port) {
  ports_removed.push_back(port);
  // The port is destroyed after this notice: a connection that joins it goes first, so that the
  // connection set never holds a port that is gone.
  if (connections)
    if (const auto* p = dynamic_cast<const Port*>(port)) connections->disconnect(p);
}

void Container::pre_structural_edit(NUXEOBlock* block, int dvar, int deqn, int dnz) {
  edits.push_back(Edit{true, block, dvar, deqn, dnz});
}

void Container::post_structural_edit(NUXEOBlock* block, int dvar, int deqn, int dnz) {
  edits.push_back(Edit{false, block, dvar, deqn, dnz});
}

NUXEOCntr* Container::containing_container(const NUXEOCntr& /*cntr*/) { return parent; }

// ---- Ports ------------------------------------------------------------------------------------

int Port::destroyed = 0;

Port::Port(const char* name, std::vector<int> vars)
    : null_name_(name == nullptr), name_(name ? name : ""), vars_(std::move(vars)) {}

void Port::destroy() {
  ++destroyed;
  for (Connections* set : sets_) set->drop(this);
  delete this;
}

int Port::var(int position) const {
  return position >= 0 && position < num_vars() ? vars_[position] : 0;
}

void Port::set_var(int position, int variable) {
  if (position >= 0 && position < num_vars()) vars_[position] = variable;
}

void Port::shift_vars(int offset) {
  ++shift_calls;
  for (int& v : vars_) {
    if (v != 0) v += offset;
  }
}

bool Material::set_stream(const char* stream) {
  if (stream_fixed) return false;
  stream_ = stream ? stream : "";
  return true;
}

}  // namespace kvoref
