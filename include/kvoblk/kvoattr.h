// SPDX-License-Identifier: BSD-3-Clause
/// @file
/// The block attributes: the base routines that count, name, describe, read and assign the
/// thirteen named attributes of every block.
#pragma once

#include <kvoblk/host/kvo_value.h>
#include <kvoblk/kvoblk_export.h>
#include <kvoblk/kvoblk_host_types.h>

KVOBLK_BEGIN_DECL

/// Always 13.
KVOBLK_API int kvoblk_base_num_attr(int blkptr);

/// The constant name of attribute `number` (0..12), null for any other number.
KVOBLK_API const char* kvoblk_base_name_attr(int blkptr, int number);

/// The constant description record of the named attribute, null for an unknown name. The caller
/// never frees it.
KVOBLK_API const nuxblock_attr_desc* kvoblk_base_describe_attr(int blkptr, const char* name);

/// False for an unknown name, true otherwise. A non-null `value` is emptied and then receives the
/// attribute's value (it stays empty where the attribute has none); with a null `value` only the
/// name is tested.
KVOBLK_API bool kvoblk_base_lookup_value(int blkptr, const char* name, value_t* value);

/// False for an unknown name, true for a known one whether or not the assignment was accepted;
/// refusals and type mismatches are reported on the history device only. With a null `value`
/// only the name is tested.
KVOBLK_API bool kvoblk_base_assign_value(int blkptr, const char* name, const value_t* value);

KVOBLK_END_DECL
