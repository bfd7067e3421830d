// SPDX-License-Identifier: BSD-3-Clause
// The reference host's lists: variable lists, equation lists, global Jacobians and pattern
// objects. All of them live in one handle table (handle h is element h-1), so a handle of one
// kind passed where another kind is expected is refused like an unknown handle. Every service
// answers a bad handle or an out-of-range position with a harmless no-op returning 0 (only an
// equation position past the list's end still has its absolute index).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kvorefhost.h"
#include "pattern_edits.h"

namespace {

constexpr size_t kMaxName = 128;

enum class Kind { VarList, EqnList, Jacobian };

struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  Kind kind;
};

// A named attribute's value kept by the list; no heap text of its own to manage.
struct StoredValue {
  int32_t kind = VALUE_EMPTY;
  kvo_number_t number{};
  uint8_t logical = 0;
  std::string text;

  // False, with the stored value as it was, when no memory is left for the text.
  bool store(const value_t& v) {
    StoredValue s;
    s.kind = v.kind;
    if (v.kind == VALUE_NUMBER) {
      s.number = v.u.number;
    } else if (v.kind == VALUE_LOGICAL) {
      s.logical = v.u.logical;
    } else if (v.kind == VALUE_STRING || v.kind == VALUE_IDENTIFIER) {
      try {
        s.text = v.u.text ? v.u.text : "";
      } catch (const std::bad_alloc&) {
        return false;
      }
    } else {
      s.kind = VALUE_EMPTY;
    }
    *this = std::move(s);
    return true;
  }
  void load(value_t* v) const {
    value_destroy(v);
    if (kind == VALUE_NUMBER) {
      value_assign_number(v, &number);
    } else if (kind == VALUE_LOGICAL) {
      value_assign_logical(v, logical);
    } else if (kind == VALUE_STRING || kind == VALUE_IDENTIFIER) {
      char* copy = static_cast<char*>(std::malloc(text.size() + 1));
      if (!copy) return;
      std::memcpy(copy, text.c_str(), text.size() + 1);
      if (kind == VALUE_STRING) {
        value_assign_string(v, copy);
      } else {
        value_assign_id(v, copy);
      }
    }
  }
};

struct VarItem {
  std::string name;
  double lower = -1e35;
  double upper = 1e35;
  double scale = 1.0;
  kvo_connmgr* mgr = nullptr;
  StoredValue spec;
};

// Capacity for n elements in each of a list's parallel arrays, grown by at least half again so
// that lists growing one position at a time cost linear time. False when the memory cannot
// hold them; the sizes are unchanged either way, so the arrays stay in step.
template <class... V>
bool make_room(int n, V&... arrays) {
  try {
    const size_t want = static_cast<size_t>(n);
    ((want > arrays.capacity()
          ? arrays.reserve(std::max(want, arrays.capacity() + arrays.capacity() / 2))
          : void()),
     ...);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

// Variables: the values and status words are kept in their own arrays so the service can hand
// them out as live contiguous vectors.
struct VarList : Object {
  VarList() : Object(Kind::VarList) {}
  std::vector<VarItem> items;
  std::vector<double> value;
  std::vector<int> status;
  int size() const { return static_cast<int>(items.size()); }
  // False, with the list as it was, when the memory cannot hold n positions.
  bool grow(int n) {
    if (n <= size()) return true;
    if (!make_room(n, items, value, status)) return false;
    items.resize(n);
    value.resize(n, 0.0);
    status.resize(n, 0);
    return true;
  }
};

struct EqnList : Object {
  EqnList() : Object(Kind::EqnList) {}
  std::vector<std::string> names;
  std::vector<double> residual;
  std::vector<int> group;
  std::vector<int> status;
  int base = 0;
  int size() const { return static_cast<int>(names.size()); }
  // False, with the list as it was, when the memory cannot hold n positions.
  bool grow(int n) {
    if (n <= size()) return true;
    if (!make_room(n, names, residual, group, status)) return false;
    names.resize(n);
    residual.resize(n, 0.0);
    group.resize(n, 0);
    status.resize(n, 0);
    return true;
  }
};

// Edits of any Jacobian's row or column numbers so far.
uint64_t g_pattern_edits = 0;

// A global Jacobian (its count is its capacity) or a pattern object (its count is set apart).
// Making, releasing or resizing one counts as an edit: its numbers may then lie elsewhere.
// Storage for a Jacobian's entries, allocated zeroed by the system (calloc), whose elements made
// by growing are left as the allocation made them: zero. A host reserves a detecting block's
// estimate of its non-zeros, often a hundred times what the block finds; pages of the
// reservation that are never written are never touched, so they cost address space, not memory.
template <class T>
struct ZeroedAllocator {
  using value_type = T;
  ZeroedAllocator() = default;
  template <class U>
  explicit ZeroedAllocator(const ZeroedAllocator<U>&) noexcept {}
  T* allocate(size_t n) {
    if (void* p = std::calloc(n, sizeof(T))) return static_cast<T*>(p);
    throw std::bad_alloc();
  }
  void deallocate(T* p, size_t) noexcept { std::free(p); }
  template <class U>
  void construct(U*) noexcept {}  // zero already, or zeroed when a shrink dropped it
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
  friend bool operator==(const ZeroedAllocator&, const ZeroedAllocator&) { return true; }
  friend bool operator!=(const ZeroedAllocator&, const ZeroedAllocator&) { return false; }
};
template <class T>
using ZeroedVector = std::vector<T, ZeroedAllocator<T>>;

struct Jac : Object {
  explicit Jac(bool is_pattern) : Object(Kind::Jacobian), pattern(is_pattern) { ++g_pattern_edits; }
  ~Jac() override { ++g_pattern_edits; }
  bool pattern;
  int nnz = 0;
  ZeroedVector<int> rows, cols;
  ZeroedVector<double> values;
  int capacity() const { return static_cast<int>(rows.size()); }
  int count() const { return pattern ? nnz : capacity(); }
  void resize(int n) {
    ++g_pattern_edits;
    const size_t to = static_cast<size_t>(n);
    // More entries than the arrays can address (on 32-bit targets) is memory that cannot be had,
    // which every caller answers; the vectors would throw another exception.
    if (to > values.max_size() || to > rows.max_size()) throw std::bad_alloc();
    // Each step that may throw comes before the arrays change size, so that a failed
    // allocation leaves all three as they were.
    if (to < rows.size() && rows.capacity() > 2 * to + 4096) {
      // A reservation cut down to what was used gives its memory back, untouched.
      ZeroedVector<int> r(rows.begin(), rows.begin() + n), c(cols.begin(), cols.begin() + n);
      ZeroedVector<double> v(values.begin(), values.begin() + n);
      rows.swap(r);
      cols.swap(c);
      values.swap(v);
    } else {
      if (to < rows.size()) {
        // Entries dropped are zeroed, so that growing again within the capacity finds zeros.
        std::fill(rows.begin() + n, rows.end(), 0);
        std::fill(cols.begin() + n, cols.end(), 0);
        std::fill(values.begin() + n, values.end(), 0.0);
      } else if (to > rows.capacity()) {
        // Growth by at least half again, so that growing step by step costs linear time.
        const size_t room =
            std::min(std::max(to, rows.capacity() + rows.capacity() / 2), values.max_size());
        rows.reserve(room);
        cols.reserve(room);
        values.reserve(room);
      }
      rows.resize(to);
      cols.resize(to);
      values.resize(to);
    }
    nnz = std::min(nnz, n);
  }
};

struct Tables {
  std::vector<std::unique_ptr<Object>> objects;
  int patterns = 0;
  bool refuse_patterns = false;  // kvojac_create answers 0
};

Tables& tables() {
  static Tables* t = new Tables;
  return *t;
}

int add_object(std::unique_ptr<Object> o) {
  auto& objs = tables().objects;
  objs.push_back(std::move(o));
  return static_cast<int>(objs.size());
}

Object* object(int handle, Kind kind) {
  auto& objs = tables().objects;
  if (handle < 1 || handle > static_cast<int>(objs.size())) return nullptr;
  Object* o = objs[handle - 1].get();
  return o && o->kind == kind ? o : nullptr;
}

VarList* varlist(int h) { return static_cast<VarList*>(object(h, Kind::VarList)); }
EqnList* eqnlist(int h) { return static_cast<EqnList*>(object(h, Kind::EqnList)); }
Jac* jacobian(int h) { return static_cast<Jac*>(object(h, Kind::Jacobian)); }

// Variable `pos` of the list, or null when the list or position does not exist.
VarList* var_at(int h, int pos) {
  VarList* l = varlist(h);
  return l && pos >= 1 && pos <= l->size() ? l : nullptr;
}
EqnList* eqn_at(int h, int pos) {
  EqnList* l = eqnlist(h);
  return l && pos >= 1 && pos <= l->size() ? l : nullptr;
}
Jac* nz_at(int h, int k) {
  Jac* j = jacobian(h);
  return j && k >= 1 && k <= j->capacity() ? j : nullptr;
}

// The name as stored, at most kMaxName characters, in *text; false, with *text untouched, when
// no memory is left to hold it.
bool clipped(const char* name, std::string* text) {
  try {
    const char* s = name ? name : "";
    size_t n = 0;
    while (n < kMaxName && s[n]) ++n;
    *text = std::string(s, n);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void copy_name(const std::string& name, char* buffer) {
  if (!buffer) return;
  const size_t n = std::min(name.size(), kMaxName);
  std::memcpy(buffer, name.data(), n);
  buffer[n] = '\0';
}

// A move of `count` items from `from` to `to` on a list of `size` positions. Positions past the
// end of the list hold nothing, so only the `held` items the list holds move; the rest of the
// destination that lies inside the list is emptied, as if empty items had moved there.
struct Move {
  int from = 0, to = 0, count = 0, held = 0;
  int64_t need = 0;  // the size the list needs afterwards; 0 when the move is refused
};

Move plan_move(int size, int from, int to, int count) {
  Move m;
  if (count <= 0 || from < 1 || to < 1) return m;
  m.from = from;
  m.to = to;
  m.count = count;
  m.held = from > size ? 0 : static_cast<int>(std::min<int64_t>(count, int64_t(size) - from + 1));
  const int64_t end = m.held > 0 ? int64_t(to) + m.held - 1 : 0;
  if (end > INT32_MAX / 2) return m;
  m.need = std::max<int64_t>(size, end);
  return m;
}

// Carries out a planned move on one array (memmove-like); source elements not overwritten
// become empty. Nothing is asked of the heap, so a move cannot fail half-way and leave a list's
// parallel arrays out of step.
template <typename V>
void move_range(V& v, const Move& m) {
  using T = typename V::value_type;
  const int from = m.from - 1, to = m.to - 1, count = m.held;
  // A source wholly past the end moves nothing; its positions (and the destination's, when that
  // lies past the end too) are no places of the array to point at.
  if (count > 0 && to < from) {
    std::move(v.begin() + from, v.begin() + from + count, v.begin() + to);
  } else if (count > 0 && to > from) {
    std::move_backward(v.begin() + from, v.begin() + from + count, v.begin() + to + count);
  }
  for (int i = from; i < from + count; ++i)
    if (i < to || i >= to + count) v[i] = T();
  const int64_t end = std::min<int64_t>(int64_t(to) + m.count, static_cast<int64_t>(v.size()));
  for (int64_t i = int64_t(to) + count; i < end; ++i) v[static_cast<size_t>(i)] = T();
}

// Clamps a 1-based range to a list of `size` positions; false when nothing is left.
bool clamp_range(int size, int first, int* last) {
  if (first < 1 || first > size || *last < first) return false;
  *last = std::min(*last, size);
  return true;
}

const char* const kNoName = "";

}  // namespace

// ---- Pattern vector views ---------------------------------------------------------------------

KVJacPatternVector::~KVJacPatternVector() = default;

KVJacIrn::KVJacIrn(kv_jac_t* jac) {
  if (Jac* j = jac ? jacobian(*jac) : nullptr) {
    data_ = j->rows.data();
    size_ = j->count();
  }
}

KVJacIcn::KVJacIcn(kv_jac_t* jac) {
  if (Jac* j = jac ? jacobian(*jac) : nullptr) {
    data_ = j->cols.data();
    size_ = j->count();
  }
}

extern "C" {

// ---- Variable list ----------------------------------------------------------------------------

void kvovarlst_inq_var_name(int varlst, int pos, char* buffer) {
  VarList* l = var_at(varlst, pos);
  copy_name(l ? l->items[pos - 1].name : std::string(), buffer);
}

const char* kvovarlst_lookup_var_name(int varlst, int pos) {
  VarList* l = var_at(varlst, pos);
  return l ? l->items[pos - 1].name.c_str() : kNoName;
}

double kvovarlst_inq_var_value(int varlst, int pos, int) {
  VarList* l = var_at(varlst, pos);
  return l ? l->value[pos - 1] : 0.0;
}

double kvovarlst_inq_var_lower(int varlst, int pos, int) {
  VarList* l = var_at(varlst, pos);
  return l ? l->items[pos - 1].lower : 0.0;
}

double kvovarlst_inq_var_upper(int varlst, int pos, int) {
  VarList* l = var_at(varlst, pos);
  return l ? l->items[pos - 1].upper : 0.0;
}

double kvovarlst_inq_var_scale(int varlst, int pos) {
  VarList* l = var_at(varlst, pos);
  return l ? l->items[pos - 1].scale : 0.0;
}

void kvovarlst_set_var_value(int varlst, int pos, double value, int) {
  if (VarList* l = var_at(varlst, pos)) l->value[pos - 1] = value;
}

double* kvovarlst_vec_value(int varlst) {
  VarList* l = varlist(varlst);
  return l ? l->value.data() : nullptr;
}

int* kvovarlst_vec_status(int varlst) {
  VarList* l = varlist(varlst);
  return l ? l->status.data() : nullptr;
}

int kvovarlst_inq_var_status(int varlst, int pos) {
  VarList* l = var_at(varlst, pos);
  return l ? l->status[pos - 1] : 0;
}

int kvoeqnlst_inq_neqn(int eqnlst) { return kvoref::num_eqns(eqnlst); }

int kvovarlst_inq_nvar(int varlst) {
  VarList* l = varlist(varlst);
  return l ? l->size() : 0;
}

void kvovarlst_move_items(int varlst, int from, int to, int count) {
  VarList* l = varlist(varlst);
  if (!l) return;
  const Move m = plan_move(l->size(), from, to, count);
  if (m.need == 0 || !l->grow(static_cast<int>(m.need))) return;
  move_range(l->items, m);
  move_range(l->value, m);
  move_range(l->status, m);
}

void kvovarlst_removevars(int varlst, int first, int last) {
  VarList* l = varlist(varlst);
  if (!l || !clamp_range(l->size(), first, &last)) return;
  for (int p = first; p <= last; ++p) {
    l->items[p - 1] = VarItem();
    l->value[p - 1] = 0.0;
    l->status[p - 1] = 0;
  }
}

kvo_connmgr* kvovarlst_inq_var_connMgr(int varlst, int pos) {
  VarList* l = var_at(varlst, pos);
  return l ? l->items[pos - 1].mgr : nullptr;
}

}  // extern "C"

namespace {

// Resolves "VARIABLE.ATTRIBUTE": the variable is named by the text before the last full stop.
// Only the SPEC attribute is known.
VarItem* spec_item(int varlst, const char* attr) {
  VarList* l = varlist(varlst);
  if (!l || !attr) return nullptr;
  const char* dot = std::strrchr(attr, '.');
  if (!dot || std::strcmp(dot + 1, "SPEC") != 0 || dot == attr) return nullptr;
  // Compared in place: looking a name up needs no memory.
  const size_t n = static_cast<size_t>(dot - attr);
  for (VarItem& item : l->items) {
    if (item.name.size() == n && item.name.compare(0, n, attr, n) == 0) return &item;
  }
  return nullptr;
}

}  // namespace

extern "C" {

int kvovarlst_assign_value(int varlst, const char* attr, const value_t* value) {
  VarItem* item = spec_item(varlst, attr);
  if (!item || !value) return 0;
  return item->spec.store(*value) ? 1 : 0;
}

int kvovarlst_lookup_value(int varlst, const char* attr, value_t* value) {
  VarItem* item = spec_item(varlst, attr);
  if (!item || !value) return 0;
  item->spec.load(value);
  return 1;
}

// ---- Equation list ----------------------------------------------------------------------------

void kvoeqnlst_inq_eqn_name(int eqnlst, int pos, char* buffer) {
  EqnList* l = eqn_at(eqnlst, pos);
  copy_name(l ? l->names[pos - 1] : std::string(), buffer);
}

const char* kvoeqnlst_lookup_eqn_name(int eqnlst, int pos) {
  EqnList* l = eqn_at(eqnlst, pos);
  return l ? l->names[pos - 1].c_str() : kNoName;
}

double kvoeqnlst_inq_eqn_value(int eqnlst, int pos) {
  EqnList* l = eqn_at(eqnlst, pos);
  return l ? l->residual[pos - 1] : 0.0;
}

double* kvoeqnlst_vec_residual(int eqnlst) {
  EqnList* l = eqnlist(eqnlst);
  return l ? l->residual.data() : nullptr;
}

int* kvoeqnlst_vec_group(int eqnlst) {
  EqnList* l = eqnlist(eqnlst);
  return l ? l->group.data() : nullptr;
}

// Every position from 1 on has its index, also one past the list's end (a block's stop may
// name equations the list does not hold yet); 0 when the index would not fit an int.
int kvoeqnlst_absolute_index(int eqnlst, int pos) {
  EqnList* l = eqnlist(eqnlst);
  if (!l || pos < 1) return 0;
  const int64_t index = int64_t(pos) + l->base;
  return index >= INT32_MIN && index <= INT32_MAX ? static_cast<int>(index) : 0;
}

int kvoeqnlst_inq_eqn_status(int eqnlst, int pos) {
  EqnList* l = eqn_at(eqnlst, pos);
  return l ? l->status[pos - 1] : 0;
}

void kvoeqnlst_norm(int eqnlst, int first, int last, double* norm) {
  if (!norm) return;
  *norm = 0.0;
  EqnList* l = eqnlist(eqnlst);
  if (!l || !clamp_range(l->size(), first, &last)) return;
  double sum = 0.0;
  for (int p = first; p <= last; ++p) sum += l->residual[p - 1] * l->residual[p - 1];
  *norm = std::sqrt(sum);
  // Squares beyond the range of a double (residuals above about 1e154, or all below about
  // 1e-154) give an infinite or a vanishing sum: such a norm is summed again over the residuals
  // divided by the largest of them.
  if (!std::isinf(sum) && !(sum < 1e-290)) return;
  double big = 0.0;
  for (int p = first; p <= last; ++p) big = std::max(big, std::fabs(l->residual[p - 1]));
  if (big == 0.0 || !std::isfinite(big)) {
    *norm = big;
    return;
  }
  sum = 0.0;
  for (int p = first; p <= last; ++p) {
    const double q = l->residual[p - 1] / big;
    sum += q * q;
  }
  *norm = big * std::sqrt(sum);
}

void kvoeqnlst_in_exclude_equation(int eqnlst, int pos, int include) {
  EqnList* l = eqn_at(eqnlst, pos);
  if (!l) return;
  int& s = l->status[pos - 1];
  s = include ? (s | kvoref::EQN_ACTIVE) : (s & ~kvoref::EQN_ACTIVE);
}

void kvoeqnlst_move_items(int eqnlst, int from, int to, int count) {
  EqnList* l = eqnlist(eqnlst);
  if (!l) return;
  const Move m = plan_move(l->size(), from, to, count);
  if (m.need == 0 || !l->grow(static_cast<int>(m.need))) return;
  move_range(l->names, m);
  move_range(l->residual, m);
  move_range(l->group, m);
  move_range(l->status, m);
}

void kvoeqnlst_removeeqns(int eqnlst, int first, int last) {
  EqnList* l = eqnlist(eqnlst);
  if (!l || !clamp_range(l->size(), first, &last)) return;
  for (int p = first; p <= last; ++p) {
    l->names[p - 1].clear();
    l->residual[p - 1] = 0.0;
    l->group[p - 1] = 0;
    l->status[p - 1] = 0;
  }
}

// ---- Jacobian and pattern objects -------------------------------------------------------------

kv_jac_t kvojac_create(int capacity) {
  if (capacity < 0 || tables().refuse_patterns) return 0;
  // A capacity the memory cannot hold is a refusal (0), which the library reports, not an
  // exception through the C interface.
  try {
    auto j = std::make_unique<Jac>(true);
    j->resize(capacity);
    const kv_jac_t handle = add_object(std::move(j));
    ++tables().patterns;
    return handle;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

void kvojac_destroy(kv_jac_t* jac) {
  if (!jac) return;
  Jac* j = jacobian(*jac);
  // Only pattern objects are released here; a global Jacobian belongs to the host.
  if (!j || !j->pattern) return;
  tables().objects[*jac - 1].reset();
  --tables().patterns;
  *jac = 0;
}

void kvojac_set_nnz(kv_jac_t jac, int nnz) {
  Jac* j = jacobian(jac);
  if (!j || !j->pattern || nnz < 0) return;
  if (nnz > j->capacity()) {
    // A count the memory cannot hold leaves the object as it was.
    try {
      j->resize(nnz);
    } catch (const std::bad_alloc&) {
      return;
    }
  }
  j->nnz = nnz;
  ++g_pattern_edits;
}

int kvojac_inq_nnz(kv_jac_t jac) {
  Jac* j = jacobian(jac);
  return j ? j->count() : 0;
}

void kvojac_set_rows(kv_jac_t jac, const int* rows) {
  Jac* j = jacobian(jac);
  if (!j || !rows) return;
  ++g_pattern_edits;
  std::copy(rows, rows + j->count(), j->rows.begin());
}

void kvojac_set_columns(kv_jac_t jac, const int* columns) {
  Jac* j = jacobian(jac);
  if (!j || !columns) return;
  ++g_pattern_edits;
  std::copy(columns, columns + j->count(), j->cols.begin());
}

int kvojac_inq_nz_eqnnum(kv_jac_t jac, int k) {
  Jac* j = nz_at(jac, k);
  return j ? j->rows[k - 1] : 0;
}

int kvojac_inq_nz_varnum(kv_jac_t jac, int k) {
  Jac* j = nz_at(jac, k);
  return j ? j->cols[k - 1] : 0;
}

void kvojac_set_nz_eqnnum(kv_jac_t jac, int k, int eqn) {
  if (Jac* j = nz_at(jac, k)) {
    ++g_pattern_edits;
    j->rows[k - 1] = eqn;
  }
}

void kvojac_set_nz_varnum(kv_jac_t jac, int k, int var) {
  if (Jac* j = nz_at(jac, k)) {
    ++g_pattern_edits;
    j->cols[k - 1] = var;
  }
}

void kvojac_inq_nz_value(kv_jac_t jac, int k, double* value) {
  if (!value) return;
  Jac* j = nz_at(jac, k);
  *value = j ? j->values[k - 1] : 0.0;
}

void kvojac_set_nz_value(kv_jac_t jac, int k, double value) {
  if (Jac* j = nz_at(jac, k)) j->values[k - 1] = value;
}

double* kvojac_vec_bj(kv_jac_t jac) {
  Jac* j = jacobian(jac);
  return j ? j->values.data() : nullptr;
}

void kvojac_move_items(kv_jac_t jac, int from, int to, int count) {
  Jac* j = jacobian(jac);
  if (!j) return;
  const Move m = plan_move(j->capacity(), from, to, count);
  if (m.need == 0) return;
  if (m.need > j->capacity()) {
    // A destination the memory cannot hold leaves the Jacobian as it was.
    try {
      j->resize(static_cast<int>(m.need));
    } catch (const std::bad_alloc&) {
      return;
    }
  }
  ++g_pattern_edits;
  move_range(j->rows, m);
  move_range(j->cols, m);
  move_range(j->values, m);
}

// Shifts the equation and variable numbers of entries first..last. Number 0 means "none" and is
// left alone. A number shifted past the ends of an int wraps around (as 32-bit words add)
// instead of overflowing.
void kvojac_renumber(kv_jac_t jac, int first, int last, int /*vstart*/, int dv, int /*estart*/,
                     int de) {
  Jac* j = jacobian(jac);
  if (!j || !clamp_range(j->capacity(), first, &last)) return;
  ++g_pattern_edits;
  auto shifted = [](int n, int d) {
    return static_cast<int>(static_cast<uint32_t>(n) + static_cast<uint32_t>(d));
  };
  for (int k = first; k <= last; ++k) {
    if (j->rows[k - 1] != 0) j->rows[k - 1] = shifted(j->rows[k - 1], de);
    if (j->cols[k - 1] != 0) j->cols[k - 1] = shifted(j->cols[k - 1], dv);
  }
}

// ---- Status words -----------------------------------------------------------------------------

void varSetExcluded(int* status, int excluded) {
  if (!status) return;
  *status = excluded ? (*status | kvoref::VAR_EXCLUDED) : (*status & ~kvoref::VAR_EXCLUDED);
}

int varIsFixed(int status) { return (status & kvoref::VAR_FIXED) ? 1 : 0; }

int varInqConnected(int status) { return (status >> kvoref::VAR_CONNECTED_SHIFT) & 7; }

int u3rinc_c(int status) { return (status & kvoref::EQN_ACTIVE) ? 1 : 0; }

}  // extern "C"

// ---- Host side --------------------------------------------------------------------------------

namespace kvoref {

Lists make_lists(int nz_capacity) {
  Lists lists;
  lists.varlst = add_object(std::make_unique<VarList>());
  lists.eqnlst = add_object(std::make_unique<EqnList>());
  auto j = std::make_unique<Jac>(false);
  j->resize(std::max(nz_capacity, 0));
  lists.jac = add_object(std::move(j));
  return lists;
}

void release_lists(Lists* lists) {
  if (!lists) return;
  auto& objs = tables().objects;
  if (varlist(lists->varlst)) objs[lists->varlst - 1].reset();
  if (eqnlist(lists->eqnlst)) objs[lists->eqnlst - 1].reset();
  if (const Jac* j = jacobian(lists->jac); j && !j->pattern) objs[lists->jac - 1].reset();
  *lists = Lists();
}

void set_absolute_base(int eqnlst, int base) {
  if (EqnList* l = eqnlist(eqnlst)) l->base = base;
}

void define_var(int varlst, int pos, const char* name, double value, double lower, double upper,
                double scale) {
  VarList* l = varlist(varlst);
  if (!l || pos < 1) return;
  // The name's room comes first: without it nothing changes.
  std::string text;
  if (!clipped(name, &text) || !l->grow(pos)) return;
  VarItem& item = l->items[pos - 1];
  item = VarItem();
  item.name = std::move(text);
  item.lower = lower;
  item.upper = upper;
  item.scale = scale;
  l->value[pos - 1] = value;
  l->status[pos - 1] = 0;
}

void set_var_status(int varlst, int pos, int status) {
  if (VarList* l = var_at(varlst, pos)) l->status[pos - 1] = status;
}

void set_var_connmgr(int varlst, int pos, kvo_connmgr* mgr) {
  if (VarList* l = var_at(varlst, pos)) l->items[pos - 1].mgr = mgr;
}

void define_eqn(int eqnlst, int pos, const char* name) {
  EqnList* l = eqnlist(eqnlst);
  if (!l || pos < 1) return;
  std::string text;
  if (!clipped(name, &text) || !l->grow(pos)) return;
  l->names[pos - 1] = std::move(text);
  l->residual[pos - 1] = 0.0;
  l->group[pos - 1] = 0;
  l->status[pos - 1] = EQN_ACTIVE;
}

}  // namespace kvoref

// The host interface's definition services, on the reference host's own.
extern "C" {
void kvovarlst_define_var(int varlst, int pos, const char* name, double value) {
  kvoref::define_var(varlst, pos, name, value);
}
void kvoeqnlst_define_eqn(int eqnlst, int pos, const char* name) {
  kvoref::define_eqn(eqnlst, pos, name);
}
}  // extern "C"

namespace kvoref {

void set_eqn_status(int eqnlst, int pos, int status) {
  if (EqnList* l = eqn_at(eqnlst, pos)) l->status[pos - 1] = status;
}

int eqn_included(int eqnlst, int pos) { return u3rinc_c(kvoeqnlst_inq_eqn_status(eqnlst, pos)); }

void set_nz(kv_jac_t jac, int k, int eqn, int var) {
  if (Jac* j = nz_at(jac, k)) {
    ++g_pattern_edits;
    j->rows[k - 1] = eqn;
    j->cols[k - 1] = var;
  }
}

void resize_jac(kv_jac_t jac, int capacity) {
  Jac* j = jacobian(jac);
  if (j && capacity >= 0) j->resize(capacity);
}

int num_eqns(int eqnlst) {
  EqnList* l = eqnlist(eqnlst);
  return l ? l->size() : 0;
}

int live_pattern_objects() { return tables().patterns; }

void refuse_pattern_objects(bool on) { tables().refuse_patterns = on; }

namespace detail {

uint64_t pattern_edits() { return g_pattern_edits; }

const int* rows_beside(const int* p, size_t n) {
  if (!p) return nullptr;
  // Compared as addresses: the numbers may belong to no object at all.
  const uintptr_t first = reinterpret_cast<uintptr_t>(p);
  const uintptr_t last = first + n * sizeof(int);
  for (const auto& o : tables().objects) {
    if (!o || o->kind != Kind::Jacobian) continue;
    const Jac& j = static_cast<const Jac&>(*o);
    const uintptr_t begin = reinterpret_cast<uintptr_t>(j.cols.data());
    const uintptr_t end = begin + static_cast<size_t>(j.count()) * sizeof(int);
    if (j.cols.data() && j.rows.data() && first >= begin && last <= end && last >= first)
      return j.rows.data() + (p - j.cols.data());
  }
  return nullptr;
}

void reset_lists() {
  tables().objects.clear();
  tables().patterns = 0;
  tables().refuse_patterns = false;
}

}  // namespace detail
}  // namespace kvoref
