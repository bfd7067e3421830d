// SPDX-License-Identifier: BSD-3-Clause
// Fuzz target for the Fortran CHARACTER conversions: each input is a sequence of block id
// settings and copies, port look-ups by name, port additions and count settings, and identifier
// scans, with CHARACTER arguments of any bytes and any length (negative included), each held in
// a buffer of exactly its length so that a byte read or written beyond it is caught. Checked:
// the converted text is what the conversion rules give, copies are blank-padded to exactly the
// length given and answer the id's length plus one, a port is found exactly when the block holds
// one of that name, and the scanner's token, count and position follow the identifier.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <kvoblk/kvofortran.h>
#include "fuzz_host.h"

namespace {

using kvofuzz::Input;

// A CHARACTER argument: its bytes in a buffer of exactly their number, and the length passed,
// which may be below the number of bytes (or negative) but never above it.
struct Character {
  std::unique_ptr<char[]> bytes;
  int length = 0;
  static Character from(Input& in, size_t most) {
    Character c;
    const std::string s = in.bytes(most);
    c.bytes.reset(new char[s.size()]);
    std::memcpy(c.bytes.get(), s.data(), s.size());
    const uint8_t cut = in.byte();
    // Mostly the whole text; sometimes shorter, or negative.
    c.length = cut < 200 ? static_cast<int>(s.size())
                         : std::min(static_cast<int>(s.size()), static_cast<int>(cut) - 205);
    return c;
  }
};

// The conversion rules: four zero bytes (length 4 or more) are no text; a zero byte ends the
// text; otherwise trailing blanks go. `absent` tells the first case.
std::string converted(const char* a, int n, bool* absent) {
  const size_t length = n > 0 ? static_cast<size_t>(n) : 0;
  *absent = length >= 4 && a[0] == 0 && a[1] == 0 && a[2] == 0 && a[3] == 0;
  if (*absent) return "";
  std::string s(a, length);
  const size_t zero = s.find('\0');
  if (zero != std::string::npos) return s.substr(0, zero);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string id_of(int b) { return kvoblk_blkid(b) ? kvoblk_blkid(b) : ""; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kvofuzz::Host host;
  Input in(data, size);
  const int b = kvoblk_base_create_1(0);
  FUZZ_CHECK(b != 0);
  kvoref::Lists lists = kvoref::make_lists(1);
  kvoref::Container cntr(lists);
  kvoblk_register_container(b, &cntr);

  for (int step = 0; step < 32 && !in.empty(); ++step) {
    switch (in.byte() % 6) {
      case 0: {  // set the block id
        Character c = Character::from(in, 64);
        bool absent = false;
        const std::string want = converted(c.bytes.get(), c.length, &absent);
        _BLK_SET_BLKID_F(&b, c.bytes.get(), c.length);
        FUZZ_CHECK(absent ? kvoblk_blkid(b) == nullptr : id_of(b) == want);
        break;
      }
      case 1: {  // copy the id out into a variable of any length
        const int n = static_cast<int>(in.byte()) - 8;
        const size_t room = n > 0 ? static_cast<size_t>(n) : 0;
        std::unique_ptr<char[]> out(new char[room]);
        const std::string id = id_of(b);
        const int result =
            (n & 1) ? _BLK_COPY_BLKID_F(&b, out.get(), n) : KVOBLK_ID(&b, out.get(), n);
        FUZZ_CHECK(result == static_cast<int>(id.size()) + 1);
        std::string want = id.substr(0, room);
        want.resize(room, ' ');
        FUZZ_CHECK(std::string(out.get(), room) == want);
        break;
      }
      case 2: {  // look a port up by a CHARACTER name
        Character c = Character::from(in, 24);
        bool absent = false;
        const std::string want = converted(c.bytes.get(), c.length, &absent);
        int expected = 0;
        const int held = kvoblk_inq_num_ports(b);
        for (int i = 1; i <= held && !absent && expected == 0; ++i) {
          nux_port* p = kvoblk_get_port_n(b, i);
          if (p && p->name() && want == p->name()) expected = _KVOBLK_GET_PORT_N_F(&b, &i);
        }
        FUZZ_CHECK(_KVOBLK_GET_PORT_F(&b, c.bytes.get(), c.length) == expected);
        break;
      }
      case 3: {  // add a port named by the input
        const std::string name = in.bytes(16);
        kvoref::Port* port = new kvoref::Port(name.c_str(), {1});
        kvoblk_add_port(b, port);
        if (port->attach_calls == 0) port->destroy();  // not taken: still the caller's
        break;
      }
      case 4: {  // store a port count as given
        const int before = _BLK_INQ_NUM_PORTS_F(&b);
        const int n = static_cast<int>(in.value<int8_t>());
        _BLK_SET_NUM_PORTS_F(&b, &n);
        FUZZ_CHECK(_BLK_INQ_NUM_PORTS_F(&b) == (n >= 0 ? n : before));
        break;
      }
      case 5: {  // scan an identifier
        Character text = Character::from(in, 48);
        const int toklen = static_cast<int>(in.byte() % 40) - 4;
        const size_t room = toklen > 0 ? static_cast<size_t>(toklen) : 0;
        std::unique_ptr<char[]> token(new char[room]);
        int pos = static_cast<int>(in.value<int8_t>());
        if (in.byte() == 0xFF) pos = INT_MAX - (pos & 3);
        const int start = pos;
        int count = -1;
        KVOVARID_NEXT(text.bytes.get(), text.length, &pos, token.get(), toklen, &count);
        int want = 0;
        if (start >= 1 && start <= text.length)
          while (start - 1 + want < text.length && text.bytes[start - 1 + want] != '.' &&
                 text.bytes[start - 1 + want] != ' ')
            ++want;
        FUZZ_CHECK(count == want);
        FUZZ_CHECK(pos == static_cast<int>(std::min<int64_t>(int64_t(start) + want + 1, INT_MAX)));
        std::string expect =
            want > 0 ? std::string(&text.bytes[start - 1], static_cast<size_t>(want)) : "";
        expect = expect.substr(0, room);
        expect.resize(room, ' ');
        FUZZ_CHECK(std::string(token.get(), room) == expect);
        break;
      }
    }
    host.his();
  }
  kvoblk_destroy(b);
  return 0;
}
