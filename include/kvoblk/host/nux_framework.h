// SPDX-License-Identifier: BSD-3-Clause
// Interfaces of the host modelling framework: the block-information and attribute-description
// records, the container a block is registered with, the reference-counted wrapper, and the
// abstract block interfaces that the library's framework class implements.
#pragma once

#include <cstddef>
#include <cstdint>

#include <kvoblk/host/kvo_host_export.h>
#include <kvoblk/host/kvo_print.h>
#include <kvoblk/host/kvo_value.h>
#include <kvoblk/host/nux_port.h>

class NUXEOBlock;

// Host objects the library only passes on.
class KVOHOST_API NUXEOCntr {
 public:
  virtual ~NUXEOCntr() = default;
};
struct EBSContext;

// Description of one block attribute: its text and whether it is read-only.
struct nuxblock_attr_desc {
  const char* description;
  int32_t read_only;  // 1 read-only, 0 assignable
};

// Request bits of the block-information record.
enum : int32_t {
  NUX_BLK_REQ_ACTIVE_EQNS = 4,
  NUX_BLK_REQ_FREE_NZS = 8,
  NUX_BLK_REQ_NORM = 16,
  NUX_BLK_REQ_STATISTICS = 1 | 64 | 128 | 256 | 512,
};

// Block-information record filled by a block's inq_attr operation. Field order and widths are
// fixed; on a 32-bit platform the byte offsets are the ones asserted below.
struct nux_blk_t {
  int32_t request;    // request mask, set by the host
  NUXEOBlock* block;  // the block's framework object, or null
  const char* model;  // model text
  char blkid[9];      // block id, at most 8 characters
  char type[9];       // type text
  char subid[65];     // sub-identifier
  char unused95;
  int32_t included;
  int32_t reserved100[4];
  int32_t vstart, vstop, estart, estop, nzstart, nzstop;
  int32_t nvar;
  int32_t nvar_active;  // variables in at least one active non-zero
  int32_t nvar_fixed;   // of those, fixed ones
  int32_t neqn;
  int32_t neqn_active;
  int32_t nnz;
  int32_t nnz_free;  // active non-zeros on free variables
  int32_t reserved168[7];
  int32_t reserved196;
  double resnorm;
  int32_t deriv_type;
  int32_t unused212;
  double nlratiodev;
  double pertsize;
  int32_t reserved232;
  int32_t nconn2, nconn3, nconn4;
};
#if INTPTR_MAX == INT32_MAX
static_assert(offsetof(nux_blk_t, blkid) == 12, "nux_blk_t layout");
static_assert(offsetof(nux_blk_t, included) == 96, "nux_blk_t layout");
static_assert(offsetof(nux_blk_t, vstart) == 116, "nux_blk_t layout");
static_assert(offsetof(nux_blk_t, nvar) == 140, "nux_blk_t layout");
static_assert(offsetof(nux_blk_t, nnz_free) == 164, "nux_blk_t layout");
static_assert(offsetof(nux_blk_t, resnorm) == 200, "nux_blk_t layout");
static_assert(offsetof(nux_blk_t, deriv_type) == 208, "nux_blk_t layout");
static_assert(offsetof(nux_blk_t, nlratiodev) == 216, "nux_blk_t layout");
static_assert(offsetof(nux_blk_t, nconn4) == 244, "nux_blk_t layout");
#endif
// Whatever the pointer width, the words between the pointers and the first real keep their
// relative layout.
static_assert(offsetof(nux_blk_t, included) - offsetof(nux_blk_t, blkid) == 84, "layout");
static_assert(offsetof(nux_blk_t, reserved196) - offsetof(nux_blk_t, included) == 100, "layout");
static_assert(offsetof(nux_blk_t, nconn4) - offsetof(nux_blk_t, deriv_type) == 36, "layout");

// The container a block is registered with. It hands out the block's matrix lists and global
// offsets, runs scripts and hears of port and structure changes. Operations in table order.
// The host owns it; a block keeps the pointer from registration until it is destroyed (there is
// no unregistering, and a second container is refused), so a container outlives its blocks.
// The list handles are asked for at every use, never kept. The three global offsets are only
// handed on (kvoblk_global_var_offset and the others, a port's var_offset): the library numbers
// every variable, equation and non-zero by its position in the container's lists, never by an
// offset, so a container whose lists are the whole flowsheet answers 0.
class KVOHOST_API NUXBlockCallback {
 public:
  virtual bool isof_type(const char* type) const = 0;  // accepts "NUXEOBlockCallback"
  // Runs a script the block's model handed out. `block` is the block's framework object, null
  // when the host made none. The library releases the script afterwards and hands the result
  // back unchanged from kvoblk_invoke; it ignores the result of the scripts it runs itself
  // (INIT at placement, the four of the typical registration).
  virtual int run_script(NUXEOBlock* block, kvopipe* script, EBSContext* ctx, int nargs,
                         const value_t* args) = 0;
  virtual void port_removed(nux_port* port) = 0;
  virtual int varlst() = 0;
  virtual int eqnlst() = 0;
  virtual int jacobian() = 0;
  virtual int global_var_offset() = 0;
  virtual int global_eqn_offset() = 0;
  virtual int global_jac_offset() = 0;
  virtual void pre_structural_edit(NUXEOBlock* block, int dvar, int deqn, int dnz) = 0;
  virtual void post_structural_edit(NUXEOBlock* block, int dvar, int deqn, int dnz) = 0;
  virtual NUXEOCntr* containing_container(const NUXEOCntr& cntr) = 0;
  virtual void ports_changed() = 0;

 protected:
  virtual ~NUXBlockCallback() = default;
};

// A reference-counted wrapper object of the framework, laid out like a COM interface: the
// second operation adds a reference and the third releases one.
class KVOHOST_API ITUVWrapper {
 public:
  virtual long query_interface(const void* iid, void** object) = 0;
  virtual unsigned long add_ref() = 0;
  virtual unsigned long release() = 0;

 protected:
  virtual ~ITUVWrapper() = default;
};

// ---- Block interfaces ----------------------------------------------------------------------
// Each interface's table holds exactly its operations, in the order declared. The destructors
// are therefore protected and not virtual: a virtual one would take slots in the tables (in the
// shared primary table between attr_describe and Destroy). Objects are ended through
// NUXBlock::Destroy or through the implementing class, never through an interface pointer.

class KVOHOST_API INUXAttribute {
 public:
  virtual int attr_num() const = 0;
  virtual const char* attr_name(int i) const = 0;
  virtual bool attr_lookup_value(const char* attr, value_t* value) const = 0;
  virtual bool attr_assign_value(const char* attr, const value_t& value) = 0;
  virtual bool attr_lookup_ismodified(const char* attr) = 0;
  virtual const nuxblock_attr_desc* attr_describe(const char* attr) const = 0;

 protected:
  ~INUXAttribute() = default;
};

class KVOHOST_API INUXMethod {
 public:
  virtual kvopipe* acquire_script(const char* name) const = 0;
  virtual int method_invoke(const char* name, EBSContext* ctx, int nargs, const value_t* args) = 0;
  virtual int method_scope_invoke(const char* name, int scope1, int scope2, EBSContext* ctx,
                                  int nargs, const value_t* args) = 0;
  virtual int method_num() const = 0;
  virtual void method_name(int index, char* name) const = 0;

 protected:
  ~INUXMethod() = default;
};

class KVOHOST_API INUXPort {
 public:
  virtual int port_num() const = 0;
  virtual bool port_add(nux_port* port) = 0;
  virtual bool port_delete(const char* name) = 0;
  virtual nux_port* port_get(const char* name) const = 0;
  virtual nux_port* port_get(int i) const = 0;
  virtual int port_index(const char* name) const = 0;
  virtual bool port_lookup_value(const char* port, const char* attr, value_t* value) const = 0;
  virtual void port_assign_value(const char* port, const char* attr, const value_t* value) = 0;

 protected:
  ~INUXPort() = default;
};

class KVOHOST_API INUXSolving {
 public:
  virtual void pre_solve(int& status) = 0;
  virtual void post_solve(int& status) = 0;

 protected:
  ~INUXSolving() = default;
};

class KVOHOST_API INUXContainers {
 public:
  virtual void register_container(NUXBlockCallback* callback) = 0;
  virtual NUXEOCntr* inq_container(const NUXEOCntr& cntr) const = 0;
  virtual NUXEOCntr* inq_embedded_container(const NUXEOCntr& cntr) const = 0;

 protected:
  ~INUXContainers() = default;
};

class KVOHOST_API INUXMatrixCitizen {
 public:
  virtual void dim(int& nvar, int& neqn, int& nnz, int& status) = 0;
  virtual void ini(int vstart, int estart, int nzstart, int& status) = 0;
  virtual void de_ini(int& status) = 0;
  virtual int vstart() const = 0;
  virtual int num_var() const = 0;
  virtual int estart() const = 0;
  virtual int num_eqn() const = 0;
  virtual int nzstart() const = 0;
  virtual int num_nz() const = 0;
  virtual int global_var_offset() const = 0;
  virtual int global_eqn_offset() const = 0;
  virtual int global_jac_offset() const = 0;
  virtual void move(int dv, int de, int dnz) = 0;
  virtual int matrix_precedence() const = 0;
  virtual void removeFromMatrix() = 0;

 protected:
  ~INUXMatrixCitizen() = default;
};

class KVOHOST_API INUXResidual {
 public:
  virtual void res(int group, int& status) const = 0;
  virtual void res(int& status) const = 0;
  virtual void res_numpat(int& status) const = 0;

 protected:
  ~INUXResidual() = default;
};

class KVOHOST_API INUXPattern {
 public:
  virtual void pat_ncompare(double a, double b, int& status) = 0;

 protected:
  ~INUXPattern() = default;
};

class KVOHOST_API INUXJacobian {
 public:
  virtual void jac(int group, int& status) const = 0;
  virtual void jac(int& status) const = 0;
  virtual void jac_compare(double a, double b, double c, int& n, int** const rows,
                           double** const v1, double** const v2, int& status) = 0;

 protected:
  ~INUXJacobian() = default;
};

class KVOHOST_API TUVWrapperCntr {
 protected:
  virtual ITUVWrapper* tuvwrappercntr_getWrapper() = 0;
  virtual void tuvwrappercntr_setWrapper(ITUVWrapper* wrapper) = 0;
  ~TUVWrapperCntr() = default;
};

// A block as the framework sees it. Operations after the attribute interface's, in table order.
class KVOHOST_API NUXBlock : public INUXAttribute,
                             public INUXMethod,
                             public INUXPort,
                             public INUXSolving {
 public:
  virtual void Destroy() = 0;
  virtual const char* name() const = 0;
  virtual bool isof_type(const char* type) const = 0;
  virtual bool included() const = 0;
  virtual void set_included(bool included) = 0;
  virtual void report(int& status) = 0;

 protected:
  ~NUXBlock() = default;
};

// A block in equation-oriented form.
class KVOHOST_API NUXEOBlock : public NUXBlock,
                               public INUXContainers,
                               public INUXMatrixCitizen,
                               public INUXResidual,
                               public INUXPattern,
                               public INUXJacobian,
                               public TUVWrapperCntr {
 public:
  enum nuxblock_state { NOT_INITIALISED = 0, EO_FORM = 1, SOLVING = 2 };

  virtual nuxblock_state state() const = 0;
  virtual void set_name(const char* name) = 0;
  virtual void inq_attr(nux_blk_t& info) const = 0;
  virtual void init(int& status) const = 0;
  virtual void evaluate_nlratio() = 0;
  virtual double nlratio() const = 0;
  virtual void set_nlratio(double ratio) = 0;
  virtual void activate_connections() const = 0;
  virtual void deactivate_connections() const = 0;
  virtual bool BlockVariableUpdate(int what) = 0;

 protected:
  ~NUXEOBlock() = default;
};
