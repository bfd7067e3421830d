// The reference host's container, ports and port materials.
#include <cstring>

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
  scripts_run.push_back(std::move(run));
  return script_result;
}

void Container::port_removed(nux_port* port) { ports_removed.push_back(port); }

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
