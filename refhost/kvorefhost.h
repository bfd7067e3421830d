// SPDX-License-Identifier: BSD-3-Clause
// The reference host's own API: what a simulator would provide beyond the host service
// declarations. Tests, examples and benchmarks use it to reset the host, build a flowsheet's
// lists, capture device text, and make containers, ports and scripts.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

#include <kvoblk/host/kvo_alloc.h>
#include <kvoblk/host/kvo_lists.h>
#include <kvoblk/host/kvo_md5.h>
#include <kvoblk/host/kvo_numeric.h>
#include <kvoblk/host/kvo_print.h>
#include <kvoblk/host/kvo_value.h>
#include <kvoblk/host/nux_framework.h>
#include <kvoblk/host/nux_port.h>

namespace kvoref {

class Connections;
class Port;

// ---- Whole host -----------------------------------------------------------------------------
// Releases every list, Jacobian, pattern object, grouping and the workspace (ib0 then points at
// a fresh small workspace), switches off the moving workspace, the allocation failure and the
// refusal of pattern objects, sends both devices back to standard output dropping captured text,
// and sets Port::destroyed to 0.
// Objects the caller made (containers, ports, managers, script handles) are the caller's.
KVOHOST_API void reset();
// How many times reset() has run. A holder of workspace handles and list handles compares it
// with what it saw when it took them: after a reset they name nothing, or what was made since.
KVOHOST_API int reset_count();

// ---- Numeric utilities ----------------------------------------------------------------------
// A released grouping's groups are kept (up to four million non-zeros in all) and handed to the
// next grouping of exactly the same non-zeros. This drops the kept ones, so that the next
// grouping searches afresh (for timing the search). The search's working memory, and with it
// the arrays of the dropped groupings, is kept for patterns of up to four million non-zeros, so
// that the next search needs no fresh memory; only reset() releases it.
KVOHOST_API void forget_groupings();

// ---- Workspace ------------------------------------------------------------------------------
// When on, every KVO_IMALLOC and KVO_IREALLOC moves the whole workspace to fresh memory, so a
// pointer kept across an allocation points at released memory.
KVOHOST_API void set_moving_workspace(bool on);
// Makes the n-th next KVO_IMALLOC, or KVO_IREALLOC that grows a block, (1 = the next one)
// answer 0; 0 switches this off.
KVOHOST_API void fail_imalloc_after(int n);
// What that failing request answers: 0, as the host interface asks, unless set otherwise here
// (a host of other habits might answer -1). reset() sets it back to 0.
KVOHOST_API void set_imalloc_refusal(int answer);
// Requests still to come before the failure set by fail_imalloc_after; 0 once it has happened
// (or when failing is off), so a caller can tell whether the n-th request was reached.
KVOHOST_API int imalloc_fail_pending();
// Number of live workspace blocks and the workspace size in words.
KVOHOST_API int live_blocks();
KVOHOST_API int workspace_words();
// Number of words of the live block at `index`, or 0 when no block starts there.
KVOHOST_API int block_words(int index);

// ---- Devices --------------------------------------------------------------------------------
// Devices 1 (kvHisDev) and 2 (kvRepDev) can be captured or sent to a file; any other device
// number always writes to standard output. Captured text is kept until taken; capturing takes
// precedence over a file. A device that is not captured writes to standard output (flushed
// after every write) or appends to the file it was sent to.
KVOHOST_API void capture(int device, bool on);
KVOHOST_API std::string take(int device);
KVOHOST_API bool send_to_file(int device, const char* path);
KVOHOST_API void send_to_stdout(int device);
// Ends the line left open (by a message printed without its line end, as some of the library's
// are) in the stream the device writes to now, so that a line of the caller's own starts on a
// line of its own; does nothing when that line is closed. The streams are the device's captured
// text (taking it ends no line), the file it is sent to (its last character tells, whoever
// appended it: the other device sent to the same file, or an earlier run; the device's own last
// text when the name no longer names that file or it cannot be read), and standard output, one
// line for every device that writes there, other device numbers included.
KVOHOST_API void start_line(int device);
// printf-style formatting into a string of whatever length the text needs (kvoprintf's own
// formatting, for text a caller keeps or writes elsewhere).
KVOHOST_API std::string format(const char* fmt, ...) KVOHOST_PRINTF_FORMAT(1, 2);
KVOHOST_API std::string vformat(const char* fmt, va_list args);

// ---- Scripts --------------------------------------------------------------------------------
// A script handle holding a name and a text; kvodestroy releases it. kvodestroy ignores a handle
// it does not know (null, released, foreign); script_name/script_text answer "" for one.
KVOHOST_API kvopipe* make_script(const char* name, const char* text);
KVOHOST_API const char* script_name(const kvopipe* pipe);
KVOHOST_API const char* script_text(const kvopipe* pipe);
// Number of script handles made and not yet released.
KVOHOST_API int live_scripts();

// ---- Lists ----------------------------------------------------------------------------------
// Variable lists, equation lists, Jacobians and pattern objects share one handle table, so a
// handle of one kind is refused where another kind is expected. Notes on the list services:
//  - kvojac_renumber shifts only non-zero numbers (0 means "no equation/variable").
//  - kvojac_destroy releases pattern objects only; a global Jacobian is left alone.
//  - move_items moves the items of the source range that the list holds (positions past its
//    end hold nothing: the destination's positions for them inside the list are emptied) and
//    grows the list (or the Jacobian's capacity) to hold the items moved.
//  - Ranges (removevars, removeeqns, norm, renumber) are clamped at the end of the list.
// A flowsheet's three lists. Positions grow on demand as items are defined.
struct Lists {
  int varlst = 0;
  int eqnlst = 0;
  kv_jac_t jac = 0;
};
// Makes an empty variable list, equation list and a Jacobian with room for `nz_capacity`
// non-zeros (positions 1 to nz_capacity; the Jacobian's count is its capacity).
KVOHOST_API Lists make_lists(int nz_capacity);
// Releases the three lists of `lists` (as make_lists made them) and sets its handles to 0; the
// released handles name nothing afterwards. A handle of another kind, or of a pattern object, is
// left alone. Without it a flowsheet's lists stay until reset().
KVOHOST_API void release_lists(Lists* lists);
// Absolute equation index of position p is p + base (default 0), for every p from 1 on, also
// past the list's end.
KVOHOST_API void set_absolute_base(int eqnlst, int base);

// Variable status bits and connection codes, as the status utilities read them.
enum : int {
  VAR_FIXED = 1,
  VAR_EXCLUDED = 2,
  VAR_CONNECTED_SHIFT = 4,  // bits 4..6 hold the connection code
  EQN_ACTIVE = 1,
};

// Defines variable `pos` (growing the list as needed).
KVOHOST_API void define_var(int varlst, int pos, const char* name, double value,
                            double lower = -1e35, double upper = 1e35, double scale = 1.0);
KVOHOST_API void set_var_status(int varlst, int pos, int status);
KVOHOST_API void set_var_connmgr(int varlst, int pos, kvo_connmgr* mgr);
// Defines equation `pos`; a new equation is active with group 0 and residual 0.
KVOHOST_API void define_eqn(int eqnlst, int pos, const char* name);
KVOHOST_API void set_eqn_status(int eqnlst, int pos, int status);
KVOHOST_API int eqn_included(int eqnlst, int pos);
// Sets non-zero k of a Jacobian (bounds-checked: a position outside the Jacobian is ignored).
KVOHOST_API void set_nz(kv_jac_t jac, int k, int eqn, int var);
// Resizes a Jacobian's capacity (its count follows).
KVOHOST_API void resize_jac(kv_jac_t jac, int capacity);
// Number of equation positions a list holds (kvovarlst_inq_nvar answers for variables), and
// pattern objects alive.
KVOHOST_API int num_eqns(int eqnlst);
KVOHOST_API int live_pattern_objects();
// When on, kvojac_create answers 0, as a host without room for another pattern object would.
// reset() switches it off.
KVOHOST_API void refuse_pattern_objects(bool on);

// A connection manager that counts its activations and deactivations.
class KVOHOST_API ConnMgr : public kvo_connmgr {
 public:
  void activate() override {
    ++activations;
    log.push_back('A');
  }
  void deactivate() override {
    ++deactivations;
    log.push_back('D');
  }
  ~ConnMgr() override = default;
  int activations = 0;
  int deactivations = 0;
  std::string log;
};

// ---- Containers -----------------------------------------------------------------------------
// A container for blocks. It hands out its lists and offsets and records what it is told.
class KVOHOST_API Container : public NUXBlockCallback {
 public:
  explicit Container(const Lists& lists, int var_offset = 0, int eqn_offset = 0,
                     int jac_offset = 0);
  ~Container() override;

  bool isof_type(const char* type) const override;
  int run_script(NUXEOBlock* block, kvopipe* script, EBSContext* ctx, int nargs,
                 const value_t* args) override;
  void port_removed(nux_port* port) override;
  int varlst() override { return lists_.varlst; }
  int eqnlst() override { return lists_.eqnlst; }
  int jacobian() override { return lists_.jac; }
  int global_var_offset() override { return var_offset_; }
  int global_eqn_offset() override { return eqn_offset_; }
  int global_jac_offset() override { return jac_offset_; }
  void pre_structural_edit(NUXEOBlock* block, int dvar, int deqn, int dnz) override;
  void post_structural_edit(NUXEOBlock* block, int dvar, int deqn, int dnz) override;
  NUXEOCntr* containing_container(const NUXEOCntr& cntr) override;
  void ports_changed() override { ++ports_changed_calls; }

  // What the container was told, for tests and the flowsheet program.
  struct ScriptRun {
    NUXEOBlock* block;
    std::string name;
    std::string text;
    bool had_context;
    int nargs;
  };
  struct Edit {
    bool pre;
    NUXEOBlock* block;
    int dvar, deqn, dnz;
  };
  std::vector<ScriptRun> scripts_run;
  std::vector<nux_port*> ports_removed;
  int ports_changed_calls = 0;
  std::vector<Edit> edits;

  // Settings for tests: the type test's answer, the script result, whether run_script echoes
  // "script NAME: TEXT" lines on the history device, and the containing container returned.
  bool accepts_type = true;
  int script_result = 0;
  bool echo_scripts = false;
  NUXEOCntr* parent = nullptr;
  void set_lists(const Lists& lists) { lists_ = lists; }

  // CONNECT scripts: with a connection set and a port finder, every line of a CONNECT script of
  // the form "CONNECT <block>.<port> TO <block>.<port>" makes that connection (the script's
  // result is then 1 when one of them is refused); other lines are only echoed and recorded.
  // A port a block deletes is disconnected from this set when the block tells of its removal.
  Connections* connections = nullptr;
  std::function<Port*(const std::string& block, const std::string& port)> find_port;

 private:
  bool connect_lines(const std::string& text);
  Lists lists_;
  int var_offset_, eqn_offset_, jac_offset_;
};

// ---- Ports ----------------------------------------------------------------------------------
class KVOHOST_API Material : public INUXPortMaterial {
 public:
  nux_port_phase phase() const override { return phase_; }
  void set_phase(nux_port_phase phase) override { phase_ = phase; }
  nux_port_basis basis() const override { return basis_; }
  void set_basis(nux_port_basis basis) override { basis_ = basis; }
  const char* stream() const override { return stream_.empty() ? nullptr : stream_.c_str(); }
  bool set_stream(const char* stream) override;
  ~Material() override = default;
  bool stream_fixed = false;  // when true, set_stream answers false

 private:
  nux_port_phase phase_ = 0;
  nux_port_basis basis_ = 0;
  std::string stream_;
};

// A port with a name, variable positions, a type and a material. Made with new; destroy()
// deletes it and counts the destruction.
class KVOHOST_API Port : public nux_port {
 public:
  explicit Port(const char* name, std::vector<int> vars = {});
  const char* name() const override { return null_name_ ? nullptr : name_.c_str(); }
  void destroy() override;
  void attach(nux_port_mesgs* block) override {
    block_ = block;
    ++attach_calls;
  }
  int num_vars() const override { return static_cast<int>(vars_.size()); }
  int var(int position) const override;
  void set_var(int position, int variable) override;
  void shift_vars(int offset) override;
  int type() const override { return type_; }
  void set_type(int type) override { type_ = type; }
  INUXPortMaterial* material() override { return &material_; }

  nux_port_mesgs* block() const { return block_; }

  // What the port's variables are, for connections and stream tables: one kind per position
  // (PortVarKind in kvoconnect.h) and a short label ("F", "CA", "T"), and whether the stream
  // enters or leaves the block. A connection joins an outlet to an inlet whose kinds agree
  // position by position. Ports start with no kinds and direction PORT_ANY.
  void set_stream(int direction, std::vector<int> kinds, std::vector<std::string> labels = {});
  int direction() const { return direction_; }
  int kind(int position) const;
  const char* label(int position) const;
  Material& mat() { return material_; }
  const std::vector<int>& vars() const { return vars_; }
  int attach_calls = 0;
  int shift_calls = 0;
  bool null_name_ = false;  // makes name() answer null, for tests

  // Number of ports destroyed through destroy() since the last reset of the counter.
  static int destroyed;

 protected:
  ~Port() override = default;

 private:
  std::string name_;
  std::vector<int> vars_;
  std::vector<int> kinds_;
  std::vector<std::string> labels_;
  int direction_ = 0;
  int type_ = 0;
  Material material_;
  nux_port_mesgs* block_ = nullptr;
  // The connection sets that join this port, which forget it when it is destroyed, so that a
  // block destroyed with its ports still connected leaves no connection to freed ports.
  std::vector<Connections*> sets_;
  friend class Connections;
};

// ---- Newton solver --------------------------------------------------------------------------
// One unit of a flowsheet as the solver drives it: the host wires each block's pre-solve,
// residual, Jacobian and post-solve operations to these.
class KVOHOST_API SolverUnit {
 public:
  virtual ~SolverUnit() = default;
  virtual const char* name() const = 0;
  virtual void pre_solve(int& status) = 0;
  virtual void residuals(int& status) = 0;
  virtual void jacobian(int& status) = 0;
  virtual void post_solve(int& status) = 0;
  // The equation positions the unit's residuals occupy (first > last: none). The solver measures
  // the unit's nonlinearity ratio over them after every step.
  virtual void equation_range(int* first, int* last) const {
    *first = 1;
    *last = 0;
  }
  // Receives the unit's nonlinearity ratio after every step: the actual change of the unit's
  // residuals over the step against the change its Jacobian predicted,
  // 1 + |actual - predicted| / max(|predicted|, |system residuals before the step|) (2-norms;
  // 1 when the error is within the solve's tolerance, kNlratioRefresh when the Jacobian predicted
  // no change but the residuals moved). A block stores it with
  // kvoblk_set_nlratio, so an update method falls back to a fresh Jacobian when the block's
  // linear model failed. The solver also sends kNlratioRefresh to every unit when a step reduced
  // the residual norm too little. The default ignores it.
  virtual void set_nlratio(double ratio) { (void)ratio; }
};

// The ratio the solver sends to have every Jacobian evaluated afresh at the next step.
constexpr double kNlratioRefresh = 1.0e6;

// One Newton step as the progress callback sees it.
struct NewtonProgress {
  int step = 0;              // 0 before the first step
  double norm = 0.0;         // largest absolute residual after the step
  int worst_eqn = 0;         // equation position holding it
  std::string worst_name;    // its name
  double step_length = 0.0;  // fraction of the Newton step taken (1 = full step; 0 at step 0)
  int residual_passes = 0;   // residual passes over all units so far
  int jacobian_passes = 0;   // Jacobian passes so far
  // The step reduced the residuals too little for the share of the Newton step taken, so every
  // unit evaluates its Jacobian afresh at the point it reached (no Schubert update there).
  bool refreshed = false;
};

struct NewtonOptions {
  int max_iterations = 50;
  double tolerance = 1e-9;  // on the largest absolute residual of an active equation
  double step_limit = 0.5;  // largest relative change of a variable in one step
  bool trace = false;       // one line per iteration on the history device
  // Measure every unit's nonlinearity ratio after each step and hand it to set_nlratio.
  bool nlratio = true;
  // A step that leaves more than this fraction of the residual 2-norm has every Jacobian of the
  // next step evaluated afresh.
  double refresh_reduction = 0.9;
  // The solve stops as diverging when the largest residual grows beyond this factor times the
  // smallest one seen (and beyond 1), or is not a number; the variables go back to the point of
  // the smallest residual.
  double divergence_factor = 1.0e8;
  // Called after the residuals of every point (step 0 is the starting point); may be empty.
  std::function<void(const NewtonProgress&)> progress;
};

struct NewtonReport {
  bool converged = false;
  int iterations = 0;      // Newton steps taken
  int residual_calls = 0;  // residual passes over all units made by the solver itself
  int jacobian_calls = 0;  // Jacobian passes over all units
  int refreshes = 0;       // steps whose Jacobians were all evaluated afresh by the solver's rule
  double norm = 0.0;       // final largest absolute residual
  std::string message;     // why the solve failed, in words; empty on success
  bool diverged = false;   // stopped as diverging; the variables hold the best point seen
  bool singular = false;   // the Jacobian could not be factored
  // For a singular Jacobian: the structurally singular part (see structural_singularity), empty
  // when the pattern is structurally sound and the matrix is singular by its values.
  std::vector<int> singular_eqns, singular_vars;
  // For a solve that stopped after failing to converge (diverging, singular, at the iteration
  // limit): the free variables that sat on their lower or upper bound where it stopped, before
  // the variables went back to the best point. A flowsheet without a solution inside the
  // bounds usually shows there.
  std::vector<int> at_lower, at_upper;
  std::vector<double> history;  // largest absolute residual at every point, starting point first
};

// Solves the flowsheet's active equations for its free variables (defined, not fixed, not
// excluded) by Newton's method with a sparse LU factorisation: factored once, refactored after.
// Every unit is pre-solved first and post-solved last, also when the solve fails. A solve that
// fails after its first step leaves the variables at the point with the smallest residual.
KVOHOST_API NewtonReport newton_solve(const Lists& lists, const std::vector<SolverUnit*>& units,
                                      const NewtonOptions& options = NewtonOptions());

// The structurally singular part of the flowsheet's system (active equations against free
// variables, by the Jacobian's pattern): a maximum matching of equations to variables, then
// every equation and variable reachable by alternating paths from an unmatched equation (the
// over-determined part) or an unmatched variable (the under-determined part). Both lists are
// list positions in increasing order; both empty when the pattern admits a full matching.
struct StructuralReport {
  int equations = 0, unknowns = 0, matched = 0;
  std::vector<int> over_eqns, over_vars;    // equations that compete for too few variables
  std::vector<int> under_eqns, under_vars;  // variables that too few equations determine
  bool singular() const { return matched < equations || matched < unknowns; }
};
KVOHOST_API StructuralReport structural_singularity(const Lists& lists);

}  // namespace kvoref
