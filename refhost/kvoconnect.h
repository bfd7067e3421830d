// SPDX-License-Identifier: BSD-3-Clause
// Stream connections of the reference host. A connection joins an outlet port of one block to an
// inlet port of another; the host then owns one connection equation per variable pair,
//
//   <name>.<label>:  inlet variable - outlet variable = 0,
//
// in a slice of the equation list and the Jacobian that belongs to no block, with the Jacobian
// entries +1 (inlet) and -1 (outlet). The connection set is one solver unit (name
// "connections"), so the Newton solver includes its equations like any block's. Ports are the
// reference host's own (kvoref::Port) with their stream description (Port::set_stream).
//
// A port that is destroyed while connected (with its block, say) leaves its side of the
// connection empty: the set never reads a destroyed port, the connection's equations stay where
// they are until it is disconnected, its residual evaluation fails with status 1 and the report
// names the port "?". (A block taken out of the matrix through its container first has its ports
// disconnected; destroying the set before the blocks at the end of a run is what the examples
// do.) A port whose block was taken out of the matrix has no variables any more; the set's
// residual evaluation then fails with status 1 instead of reading a stale position.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kvorefhost.h"

namespace kvoref {

// Direction of a port's stream.
enum PortDirection : int { PORT_ANY = 0, PORT_INLET = 1, PORT_OUTLET = 2 };

// What a port variable is. Two ports connect only when their kinds agree position by position.
enum PortVarKind : int {
  KIND_NONE = 0,
  KIND_VOLUME_FLOW = 1,    // m3/h
  KIND_MOLAR_FLOW = 2,     // kmol/h
  KIND_MASS_FLOW = 3,      // kg/s
  KIND_CONCENTRATION = 4,  // kmol/m3
  KIND_MOLE_FRACTION = 5,  // -
  KIND_TEMPERATURE = 6,    // K
  KIND_PRESSURE = 7,       // kPa
};
// "volume flow", "concentration", ...; "unspecified" for KIND_NONE and unknown kinds.
KVOHOST_API const char* port_var_kind_name(int kind);
// "m3/h", "kmol/m3", ...; "" for KIND_NONE and unknown kinds.
KVOHOST_API const char* port_var_kind_unit(int kind);

// What a stream carries: one kind per port variable and its short label ("F", "CA", "T").
struct StreamSpec {
  std::vector<int> kinds;
  std::vector<std::string> labels;
};
// A new port `name` with one variable per kind of `stream` (bound when its block is placed) and
// the stream's description and direction; hand it to a block with kvomodel::add_port.
KVOHOST_API Port* stream_port(const char* name, int direction, const StreamSpec& stream);

// "<block id>.<port name>" of a port, from the block the port is attached to ("?" when none).
KVOHOST_API std::string port_full_name(const Port* port);

class KVOHOST_API Connections : public SolverUnit {
 public:
  // The connection equations go into `lists`, from equation position `estart` and Jacobian
  // position `nzstart` on (both normally just after the last block's). The Jacobian grows when
  // the slice needs room. `notify`, when given, receives structural-edit notices (block null)
  // before and after every connection and disconnection, as a block's removal sends them.
  Connections(const Lists& lists, int estart, int nzstart, NUXBlockCallback* notify = nullptr);
  ~Connections() override;
  Connections(const Connections&) = delete;
  Connections& operator=(const Connections&) = delete;

  // Joins outlet port `from` to inlet port `to`. `name` names the connection (and its equations);
  // empty gives "<from>-><to>". Answers the connection's number (from 1, never reused), or 0
  // after a message on the history device naming both ports, when: a port is null, not attached
  // to a block or not bound to variables; `from` is not an outlet or `to` not an inlet; the
  // variable counts or kinds differ; a port is already connected; the name is in use.
  int connect(Port* from, Port* to, const std::string& name = "");
  // Why the last connect answered 0 ("A.OUT carries 3 variables but B.IN carries 2"); empty
  // after a connect that succeeded.
  const std::string& refusal() const { return refusal_; }

  // Removes connection `id` (or every connection of `port`) with its equations and non-zeros;
  // later connections move down so the slice stays contiguous. False when there was none.
  bool disconnect(int id);
  bool disconnect(const Port* port);

  struct Info {
    int id = 0;
    std::string name;
    Port* from = nullptr;
    Port* to = nullptr;
    int estart = 0, estop = -1;    // its equations' positions
    int nzstart = 0, nzstop = -1;  // its non-zeros' positions
  };
  std::vector<Info> list() const;
  const Info* find(int id) const;
  // The connection of a port, or null.
  const Info* of_port(const Port* port) const;
  int count() const { return static_cast<int>(conns_.size()); }

  // The slice: positions estart()..estop() and nzstart()..nzstop() (stop < start when empty).
  int estart() const { return estart_; }
  int estop() const { return estart_ + neqn_ - 1; }
  int nzstart() const { return nzstart_; }
  int nzstop() const { return nzstart_ + 2 * neqn_ - 1; }

  // Moves the slice to new start positions (after the blocks changed size). Positions before
  // the new start are left to the blocks; old positions past the new slice are cleared.
  void place(int estart, int nzstart);

  // One line per connection on `device`: name, both ports and the largest difference between
  // the joined variables.
  void report(int device) const;

  // Solver unit: residuals and (constant) Jacobian values of every connection equation.
  const char* name() const override { return "connections"; }
  void pre_solve(int& status) override { status = 0; }
  void residuals(int& status) override;
  void jacobian(int& status) override;
  void post_solve(int& status) override { status = 0; }
  void equation_range(int* first, int* last) const override {
    *first = estart();
    *last = estop();
  }

 private:
  struct Conn {
    Info info;
    int neqn = 0;
    // "<name>.<label>" of each equation, made once when connected, so that a connection keeps
    // its names when it is written again after a side's port is gone.
    std::vector<std::string> eqn_names;
  };
  void rewrite();  // names, entries and positions of every connection from the slice start
  // Names, entries and positions of one connection from equation `e` and non-zero `k` on.
  void write(Conn& c, int& e, int& k);
  void edit(bool pre, int deqn);
  void forget(Port* port);      // takes this set off the port's sets
  void drop(const Port* port);  // the port is being destroyed: its side becomes empty
  friend class Port;
  Lists lists_;
  int estart_, nzstart_;
  int neqn_ = 0;
  int next_id_ = 1;
  NUXBlockCallback* notify_;
  std::vector<Conn> conns_;  // in the order made, so by rising id
  // Which connection holds a port or a name: a flowsheet of many thousand connections is made
  // without a search through all of them per connection.
  std::unordered_map<const Port*, int> port_conn_;
  std::unordered_set<std::string> names_;
  std::string refusal_;
};

}  // namespace kvoref
