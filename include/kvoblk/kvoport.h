// SPDX-License-Identifier: BSD-3-Clause
/// @file
/// Port attributes of a block: PHASE, SPEC, TYPE and STREAM reached by port and attribute name or
/// by port object and attribute number, and the iteration over a port's variables.
#pragma once

#include <kvoblk/host/kvo_value.h>
#include <kvoblk/kvoblk_host_types.h>

#include <kvoblk/kvoblk_export.h>

/// Called once for each variable of a port with the block's variable list, the variable number
/// and the caller's pointer. A non-zero answer stops the iteration.
typedef int (*kvoblk_port_visitor_t)(int varlst, int var, void* user);

KVOBLK_BEGIN_DECL

/// The four port attribute names; an attribute's number is its position here.
KVOBLK_API extern const char* const kvoblk_port_attr_names[4];

/// Assigns one attribute of the named port. Unknown ports and attributes, values of the wrong
/// kind and refused changes are reported on the history device; the port is then unchanged.
KVOBLK_API void kvoblk_port_assign_value(int blkptr, const char* port, const char* attr,
                                         const value_t* value);
/// True when the block has the port and the port attribute exists. The value, when given, is
/// emptied (always, once the names are read, so they may be the value's own text) and then
/// receives the attribute's value.
KVOBLK_API bool kvoblk_port_lookup_value(int blkptr, const char* port, const char* attr,
                                         value_t* value);

/// The same by port object and attribute number (0 PHASE, 1 SPEC, 2 TYPE, 3 STREAM).
///@{
KVOBLK_API void kvoblk_port_assign_attr(int blkptr, nux_port* port, int number,
                                        const value_t* value);
KVOBLK_API void kvoblk_port_lookup_attr(int blkptr, nux_port* port, int number, value_t* value);
///@}

/// Calls the visitor for every variable of the port (positions without a variable are skipped)
/// until it answers non-zero, or until it has deleted the port or destroyed the block. Does
/// nothing without a registered container.
KVOBLK_API void kvoblk_port_iterate(int blkptr, nux_port* port, kvoblk_port_visitor_t visitor,
                                    void* user);

/// Entry points kept for the host's port module: the first answers 0, the second does nothing.
///@{
KVOBLK_API int kvoport_create();
KVOBLK_API void kvoport_add_range();
///@}

KVOBLK_END_DECL
