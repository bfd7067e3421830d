// SPDX-License-Identifier: BSD-3-Clause
// Tagged values: the host's value record with its kinds and number record, and the operations
// that initialise, convert, print and assign values.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <kvoblk/host/kvo_host_export.h>

enum {
  VALUE_EMPTY = 0,
  VALUE_NUMBER = 1,
  VALUE_STRING = 2,
  VALUE_IDENTIFIER = 3,
  VALUE_LOGICAL = 6,
};

// A number: an integer and a real, a 16-bit code with a companion field, a flag byte saying the
// integer is meant, and one more byte.
typedef struct kvo_number_t {
  int32_t ival;
  double rval;
  int16_t code;
  int16_t field;
  uint8_t is_int;
  uint8_t extra;
} kvo_number_t;
KVOBLK_STATIC_ASSERT(offsetof(kvo_number_t, ival) == 0, "number record layout");
KVOBLK_STATIC_ASSERT(offsetof(kvo_number_t, rval) == 8, "number record layout");
KVOBLK_STATIC_ASSERT(offsetof(kvo_number_t, code) == 16, "number record layout");
KVOBLK_STATIC_ASSERT(offsetof(kvo_number_t, field) == 18, "number record layout");
KVOBLK_STATIC_ASSERT(offsetof(kvo_number_t, is_int) == 20, "number record layout");
KVOBLK_STATIC_ASSERT(offsetof(kvo_number_t, extra) == 21, "number record layout");
KVOBLK_STATIC_ASSERT(sizeof(kvo_number_t) == 24, "number record layout");

// The tagged value. Whoever declares one owns it; value_destroy releases what it owns.
typedef struct value_t {
  int32_t kind;  // VALUE_EMPTY, VALUE_NUMBER, VALUE_STRING, VALUE_IDENTIFIER, VALUE_LOGICAL
  union {
    kvo_number_t number;  // VALUE_NUMBER
    char* text;           // VALUE_STRING, VALUE_IDENTIFIER: heap text owned by the value
    uint8_t logical;      // VALUE_LOGICAL: non-zero is true
  } u;
} value_t;

KVOBLK_BEGIN_DECL

// Makes the value empty; it owns nothing afterwards.
KVOHOST_API void value_init(value_t* value);

// Releases everything the value owns and makes it empty again.
KVOHOST_API void value_destroy(value_t* value);

// Converts `source` into `target` (emptied first) as kind 1, 2, 3 or 6. When the conversion is
// impossible the target ends with another kind. `zero` is always 0. Returns the target's kind.
KVOHOST_API int value_coerce(const value_t* source, value_t* target, int kind, int zero);

// Writes the value's text to the device, without a newline.
KVOHOST_API void value_print(int device, const value_t* value);

// The value becomes a string or identifier and takes over the heap text (malloc'ed).
KVOHOST_API void value_assign_string(value_t* value, char* text);
KVOHOST_API void value_assign_id(value_t* value, char* text);

// The value becomes a logical, true for non-zero.
KVOHOST_API void value_assign_logical(value_t* value, int flag);

// The value becomes a number carrying a copy of the record.
KVOHOST_API void value_assign_number(value_t* value, const kvo_number_t* number);

KVOBLK_END_DECL
