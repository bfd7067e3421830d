// SPDX-License-Identifier: BSD-3-Clause
// A flowsheet of blocks on the reference host: the blocks, their container and lists, stream
// connections between their ports, fixed variables, the degrees of freedom and the Newton solve
// with evaluation counts per block. Programs and tests build flowsheets with it; build_recycle
// makes the example with a recycle loop.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <kvoblk/kvoblk.h>
#include "cstr.h"
#include "kvoconnect.h"
#include "kvorefhost.h"
#include "units.h"

// After a host reset (kvoref::reset) a plant that took blocks before it does nothing through
// its handles, which may name another plant's blocks and lists: its calls refuse or answer false.
class Plant {
 public:
  Plant();
  // Destroys the blocks (and their ports), the connections, the container and the lists; after
  // a host reset (kvoref::reset) only the connections and the container, since the blocks and
  // lists went with the host and their handles may name what was made since.
  ~Plant();
  Plant(const Plant&) = delete;
  Plant& operator=(const Plant&) = delete;

  // Takes a block made by a creation function; the plant destroys it. False (the block
  // destroyed) after a message on the history device when blk is 0, the id is empty or in use,
  // the plant is already built, or the host was reset (kvoref::reset) after the plant took its
  // blocks; false with the block left alone when it belongs to a plant
  // (this one or another) already. An id freed or taken by renaming a block after it joined is
  // seen by `block` at once; `build` refuses two blocks that a rename left with one id.
  bool add(int blk);
  // The block of an id, or 0; the blocks in the order added.
  int block(const std::string& id) const;
  const std::vector<int>& blocks() const { return blocks_; }

  // Sizes every block, makes the lists, registers every block with one container (running its
  // registration scripts), places the blocks one after another and puts the connection slice
  // after the last. The Jacobian holds each block's reservation only while it is placed; once
  // all are, it holds what they use and room for `connection_room` connection equations.
  // False after a message naming the block at fault. A build that failed after making the lists
  // (a block that could not be placed) is not repeated: the blocks stay with that container.
  bool build(int connection_room = 32);
  bool built() const { return built_; }
  // The block at which placement stopped in a failed build (one that could not be placed or
  // placed more non-zeros than it reserved); 0 when placement never stopped at a block.
  int stopped_at() const { return stopped_at_; }

  // A block's port by "<block>.<port>" or by its two parts; null when there is none.
  kvoref::Port* port(const std::string& block, const std::string& port) const;
  kvoref::Port* port(const std::string& dotted) const;
  // Connects "<block>.<port>" (an outlet) to "<block>.<port>" (an inlet); the connection number
  // or 0 after a message (see kvoref::Connections::connect).
  int connect(const std::string& from, const std::string& to, const std::string& name = "");
  bool disconnect(int id);

  // Variable positions by name ("R1.F(3)"), 0 when unknown; fixing and unfixing with a value.
  int var(const std::string& name) const;
  double value(int pos) const;
  double value(const std::string& name) const;
  bool fix(const std::string& name, double value);
  bool fix(int pos, double value);
  bool unfix(int pos);
  bool set_value(const std::string& name, double value);

  // Free variables minus active equations (the blocks' and the connections'). 0 for a square
  // system; the names of the free variables or the equations in excess are given by
  // unknowns()/equations().
  int degrees_of_freedom() const;
  std::vector<int> unknowns() const;
  std::vector<int> equations() const;

  // Sets every block's derivative method; false when a block refuses it.
  bool set_method(int method);

  // Solves with Newton's method; every block's residual and Jacobian work is counted. Before
  // the build the report says "the plant is not built yet", after a host reset "the host was
  // reset after the plant took its blocks" (its handles may name another plant's), and it names
  // a block that was destroyed by its handle from outside instead of solving without it.
  kvoref::NewtonReport solve(const kvoref::NewtonOptions& options = kvoref::NewtonOptions());

  struct BlockCounts {
    long residuals = 0;  // runs of the block's residual routine (numeric work included)
    int jacobians = 0;   // Jacobian requests answered
    int updates = 0;     // of those, Schubert updates
  };
  // Counts of one block since the last reset, and over every block.
  BlockCounts counts(int blk) const;
  BlockCounts total_counts() const;
  void reset_counts();

  const kvoref::Lists& lists() const { return lists_; }
  kvoref::Container* container() const { return cntr_.get(); }
  kvoref::Connections* connections() const { return conns_.get(); }

 private:
  std::vector<int> blocks_;
  // Blocks by id and variable positions by name, for lookups in large flowsheets. Every hit is
  // checked against the live name, so a renamed block or a moved variable is never answered.
  mutable std::unordered_map<std::string, int> block_index_, var_index_;
  kvoref::Lists lists_;
  std::unique_ptr<kvoref::Container> cntr_;
  std::unique_ptr<kvoref::Connections> conns_;
  bool built_ = false;
  int stopped_at_ = 0;
  int host_resets_;  // kvoref::reset_count() when the plant took its first handle
  // True when the plant holds handles and the host was reset since it took them: they may name
  // another plant's blocks and lists, so nothing is done through them.
  bool outlived_host() const {
    return (!blocks_.empty() || lists_.varlst != 0) && host_resets_ != kvoref::reset_count();
  }
};

// The solver's view of one block: every operation goes to the block's dispatcher, the solver's
// nonlinearity ratios go to the block (kvoblk_set_nlratio), and Jacobian requests are counted,
// with those the block answered by a Schubert update and the rows such an update left as they
// were. When `counts` is given, its Jacobian and update counts grow as well.
class BlockUnit : public kvoref::SolverUnit {
 public:
  explicit BlockUnit(int blk, Plant::BlockCounts* counts = nullptr);
  const char* name() const override;
  void pre_solve(int& status) override;
  void residuals(int& status) override;
  void jacobian(int& status) override;
  void post_solve(int& status) override;
  void equation_range(int* first, int* last) const override;
  void set_nlratio(double ratio) override;

  int jacobians = 0;
  int updates = 0;
  long rows_seen = 0;  // rows of the block's equations that went through an update
  long rows_kept = 0;  // of those, rows the update left as they were

 private:
  int blk_;
  Plant::BlockCounts* counts_;
};

// ---- The recycle flowsheet ---------------------------------------------------------------------
// Fresh feed -> mixer MIX (inlets IN1 fresh, IN2 recycle) -> stirred-tank chain R1 -> flash FL ->
// vapour to splitter SPL (OUT1 purge, OUT2 recycle back to MIX.IN2), liquid product FL.LIQ.
// Fixed: the fresh feed (MIX.IN1), the flash's T and P, the purge fraction SPL.SF(1). Every
// other variable starts at its model's own guess: a cold start.
struct RecycleSpec {
  double feed_flow = 10.0;  // m3/h
  double feed_ca = 2.0;     // kmol/m3
  double feed_cb = 0.0;
  int ntanks = 3;
  double volume = 4.0;         // m3 per tank
  double rate_constant = 0.5;  // 1/h (first order) or m3/(kmol h) (second order)
  int order = 1;
  double flash_t = 365.0;    // K
  double flash_p = 101.325;  // kPa
  double purge = 0.1;        // fraction of the vapour purged
};
// Adds the blocks, builds the plant, connects and fixes; false after a message.
bool build_recycle(Plant& plant, const RecycleSpec& spec = RecycleSpec());

// The overall material balance of the recycle flowsheet in kmol/h: what the fresh feed brings,
// what the liquid product and the purge take away, and what the reaction A -> B converts in the
// tanks. The reaction keeps the number of moles, so total = in - out; component A: in - out -
// reacted.
struct RecycleBalance {
  double in = 0.0, out = 0.0, reacted = 0.0;
  double in_a = 0.0, out_a = 0.0;
  double total_error = 0.0;  // |in - out| / in
  double a_error = 0.0;      // |in_a - out_a - reacted| / in_a
};
RecycleBalance recycle_balance(const Plant& plant);
