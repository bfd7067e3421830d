// SPDX-License-Identifier: BSD-3-Clause
/// @file
/// The framework block class: the object through which the host modelling framework sees a
/// block, forwarding every interface operation to the block record, and the structural-edit
/// notices a block sends to its container.
#pragma once

#include <kvoblk/host/nux_framework.h>
#include <kvoblk/kvoblk_export.h>

/// One block as the host framework sees it. The object holds only the block handle and one
/// reference on a framework wrapper; all state stays in the block record, so an object can be
/// made for an existing block at any time and deleted without touching the block.
class KVOBLK_API KVOBlock : public virtual NUXEOBlock {
 protected:
  /// The structural-edit notices, forwarded to the block's container with this block's handle.
  /// Declared first: the class's own operations come in this order, before its destructor.
  ///@{
  virtual void notifyPreStructuralEdit(int dvar, int deqn, int dnz);
  virtual void notifyPostStructuralEdit(int dvar, int deqn, int dnz);
  ///@}

 public:
  /// No block (handle 0) and no wrapper.
  KVOBlock();
  /// Wraps an existing block and names this object as the block's framework object. A bad
  /// handle is reported on the history device and nothing is stored in any record.
  explicit KVOBlock(int blkptr);
  /// Creates a new block of `length` record words and makes `name` its block id. The block
  /// adopts `name`, which must come from malloc; when no block can be made the text is freed.
  KVOBlock(char* name, unsigned int length);
  /// A copy refers to the same block and holds its own reference on the same wrapper.
  ///@{
  KVOBlock(const KVOBlock& other);
  // Assignment makes it a copy of `other`; a block it presented before no longer names it.
  KVOBlock& operator=(const KVOBlock& other);
  ///@}
  /// Releases the wrapper. The block record stays; if it still names this object as its
  /// framework object, that name is withdrawn so the record never points at a deleted object.
  virtual ~KVOBlock();

  /// The block handle (0 for none).
  int get_blkptr() const;

  /// Attributes (INUXAttribute): each operation forwards to the block function of the same meaning
  /// (kvoblk.h) with this object's block handle and returns what that function returns; an
  /// object without a block answers 0, false or null.
  ///@{
  int attr_num() const override;
  const char* attr_name(int i) const override;
  bool attr_lookup_value(const char* attr, value_t* value) const override;
  bool attr_assign_value(const char* attr, const value_t& value) override;
  bool attr_lookup_ismodified(const char* attr) override;
  const nuxblock_attr_desc* attr_describe(const char* attr) const override;
  ///@}

  /// Block (NUXBlock): each operation forwards to the block function of the same meaning
  /// (kvoblk.h) with this object's block handle and returns what that function returns; an
  /// object without a block answers 0, false or null.
  ///@{
  /// Destroys the block record (the model's destroy operation runs), then deletes this object,
  /// which must have been made with new, unless the model's destroy operation deleted it
  /// already. Neither may be used afterwards.
  void Destroy() override;
  const char* name() const override;
  bool isof_type(const char* type) const override;
  bool included() const override;
  void set_included(bool included) override;
  void report(int& status) override;
  ///@}

  /// Equation-oriented block (NUXEOBlock): each operation forwards to the block function of the
  /// same meaning (kvoblk.h) with this object's block handle and returns what that function
  /// returns; an object without a block answers 0, false or null.
  ///@{
  nuxblock_state state() const override;
  /// The block adopts `name` as its id; it must be a malloc'ed text that the caller gives up.
  void set_name(const char* name) override;
  void inq_attr(nux_blk_t& info) const override;
  void init(int& status) const override;
  void evaluate_nlratio() override;
  double nlratio() const override;
  void set_nlratio(double ratio) override;
  /// Call the activate (deactivate) operation of every distinct connection manager attached to
  /// the block's variables, each exactly once.
  void activate_connections() const override;
  void deactivate_connections() const override;
  bool BlockVariableUpdate(int what) override;
  ///@}

  /// Scripts (INUXMethod): each operation forwards to the block function of the same meaning
  /// (kvoblk.h) with this object's block handle and returns what that function returns; an
  /// object without a block answers 0, false or null.
  ///@{
  kvopipe* acquire_script(const char* name) const override;
  int method_invoke(const char* name, EBSContext* ctx, int nargs, const value_t* args) override;
  int method_scope_invoke(const char* name, int scope1, int scope2, EBSContext* ctx, int nargs,
                          const value_t* args) override;
  int method_num() const override;
  void method_name(int index, char* name) const override;
  ///@}

  /// Ports (INUXPort): each operation forwards to the block function of the same meaning
  /// (kvoblk.h) with this object's block handle and returns what that function returns; an
  /// object without a block answers 0, false or null.
  ///@{
  int port_num() const override;
  bool port_add(nux_port* port) override;
  bool port_delete(const char* name) override;
  nux_port* port_get(const char* name) const override;
  nux_port* port_get(int i) const override;
  /// 1-based position of the port with exactly this name, 0 when there is none.
  int port_index(const char* name) const override;
  bool port_lookup_value(const char* port, const char* attr, value_t* value) const override;
  void port_assign_value(const char* port, const char* attr, const value_t* value) override;
  ///@}

  /// Solve brackets (INUXSolving): each operation forwards to the block function of the same
  /// meaning (kvoblk.h) with this object's block handle and returns what that function returns; an
  /// object without a block answers 0, false or null.
  ///@{
  void pre_solve(int& status) override;
  void post_solve(int& status) override;
  ///@}

  /// Containers (INUXContainers): each operation forwards to the block function of the same meaning
  /// (kvoblk.h) with this object's block handle and returns what that function returns; an
  /// object without a block answers 0, false or null.
  ///@{
  /// Registers `callback` when its type test accepts "NUXEOBlockCallback"; otherwise prints a
  /// refusal and registers nothing. A null callback is ignored.
  void register_container(NUXBlockCallback* callback) override;
  NUXEOCntr* inq_container(const NUXEOCntr& cntr) const override;
  NUXEOCntr* inq_embedded_container(const NUXEOCntr& cntr) const override;
  ///@}

  /// Matrix placement (INUXMatrixCitizen): each operation forwards to the block function of the
  /// same meaning (kvoblk.h) with this object's block handle and returns what that function
  /// returns; an object without a block answers 0, false or null.
  ///@{
  void dim(int& nvar, int& neqn, int& nnz, int& status) override;
  void ini(int vstart, int estart, int nzstart, int& status) override;
  void de_ini(int& status) override;
  int vstart() const override;
  int num_var() const override;
  int estart() const override;
  int num_eqn() const override;
  int nzstart() const override;
  int num_nz() const override;
  int global_var_offset() const override;
  int global_eqn_offset() const override;
  int global_jac_offset() const override;
  void move(int dv, int de, int dnz) override;
  int matrix_precedence() const override;
  /// Tells the container the matrix shrinks by the block's counts, removes the block from the
  /// lists, and tells the container again once it has left.
  void removeFromMatrix() override;
  ///@}

  /// Residuals, pattern, Jacobian: each operation forwards to the block function of the same
  /// meaning (kvoblk.h) with this object's block handle and returns what that function returns; an
  /// object without a block answers 0, false or null.
  ///@{
  void res(int group, int& status) const override;
  void res(int& status) const override;
  void res_numpat(int& status) const override;
  void pat_ncompare(double pertsize, double zerotol, int& status) override;
  void jac(int group, int& status) const override;
  void jac(int& status) const override;
  void jac_compare(double pertsize, double reltol, double abstol, int& count, int** const rows,
                   double** const analytic, double** const numeric, int& status) override;
  ///@}

 protected:
  /// Set the block's last variable, equation or non-zero position to first + n - 1.
  ///@{
  void set_num_var(int n);
  void set_num_eqn(int n);
  void set_num_nz(int n);
  ///@}

  /// The stored wrapper, with no reference added.
  ITUVWrapper* tuvwrappercntr_getWrapper() override;
  /// Takes a reference on the new wrapper, then releases the stored one, then stores the new
  /// one; setting the same wrapper again keeps exactly one reference.
  void tuvwrappercntr_setWrapper(ITUVWrapper* wrapper) override;

 private:
  ITUVWrapper* wrapper_ = nullptr;
  int blkptr_ = 0;
};

KVOBLK_BEGIN_DECL
/// A new object made by KVOBlock(blkptr), or null when memory runs out.
KVOBLK_API KVOBlock* create_KVOBlock(int blkptr);
}

/// Forward a structural-edit notice (changes in variables, equations and non-zeros of the global
/// matrix) to the block's registered container, with the block's framework object. Nothing
/// happens for handle 0 or a block without a container.
///@{
KVOBLK_API void kvoblk_notifyPreStructuralEdit(int blkptr, int dvar, int deqn, int dnz);
KVOBLK_API void kvoblk_notifyPostStructuralEdit(int blkptr, int dvar, int deqn, int dnz);
///@}
