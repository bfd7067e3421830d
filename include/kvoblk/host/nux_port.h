// SPDX-License-Identifier: BSD-3-Clause
// Ports of the host framework: the port object with its variable and material parts, the
// port-message interface through which a port asks its block, and the port naming service.
#pragma once

#include <kvoblk/host/kvo_host_export.h>

// What a port asks of the block it belongs to. Each block hands one such object to every port
// it owns (attach); the object belongs to the block and stays valid until the port is destroyed,
// which the block does when the port is deleted or the block is destroyed.
class KVOHOST_API nux_port_mesgs {
 public:
  virtual int var_offset() = 0;        // global variable offset of the block
  virtual int owns_var(int i) = 0;     // 1 when variable i belongs to the block
  virtual const char* block_id() = 0;  // the block id, or null
  virtual bool block_included() = 0;   // whether the block takes part in the solve

 protected:
  virtual ~nux_port_mesgs() = default;
};

// The material carried by a port.
class KVOHOST_API INUXPortMaterial {
 public:
  typedef int nux_port_phase;
  typedef int nux_port_basis;

  virtual nux_port_phase phase() const = 0;
  virtual void set_phase(nux_port_phase phase) = 0;
  virtual nux_port_basis basis() const = 0;
  virtual void set_basis(nux_port_basis basis) = 0;
  virtual const char* stream() const = 0;           // may be null
  virtual bool set_stream(const char* stream) = 0;  // false when the stream is fixed

 protected:
  virtual ~INUXPortMaterial() = default;
};

// A port: a named list of variable positions with a type and a material part. A port handed to
// kvoblk_add_port belongs to the block once it is accepted (the call answers false): the block
// calls its destroy when the port is deleted or the block is destroyed.
class KVOHOST_API nux_port {
 public:
  virtual const char* name() const = 0;            // may be null
  virtual void destroy() = 0;                      // deletes the port object
  virtual void attach(nux_port_mesgs* block) = 0;  // binds the port to its block

  // Variable part: positions 0 to num_vars()-1. A variable number is a position in the block's
  // variable list (global, 1-based, within vstart..vstop once the block is placed); 0 means
  // none. The block shifts them when it moves and clears them all to 0 when it is removed.
  virtual int num_vars() const = 0;
  virtual int var(int position) const = 0;
  virtual void set_var(int position, int variable) = 0;
  virtual void shift_vars(int offset) = 0;  // the block's variables moved

  virtual int type() const = 0;
  virtual void set_type(int type) = 0;
  virtual INUXPortMaterial* material() = 0;

 protected:
  virtual ~nux_port() = default;
};

KVOBLK_BEGIN_DECL

// Port naming service: phase and type names and their codes.
KVOHOST_API INUXPortMaterial::nux_port_phase nuxLookupPortPhase(const char* name);
KVOHOST_API bool nuxLookupPortType(const char* name, int* type,
                                   INUXPortMaterial::nux_port_basis* basis);
KVOHOST_API const char* nuxPortPhaseName(INUXPortMaterial::nux_port_phase phase);
KVOHOST_API const char* nuxPortTypeName(int type, INUXPortMaterial::nux_port_basis basis);

// Structure editor: non-zero when `name` is an acceptable object name.
KVOHOST_API int stred_kvopt_object(const char* name);

KVOBLK_END_DECL
