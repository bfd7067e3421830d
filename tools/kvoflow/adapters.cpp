// SPDX-License-Identifier: BSD-3-Clause
// Creation of the built-in models from a block's table: parameters read (already checked
// against the lists below) and handed to the model library's creation functions.
#include "adapters.h"

#include "cstr.h"
#include "units.h"

namespace kvoflow {

namespace {

constexpr double kBig = 1e12;

int create_cstr(const BlockSpec& b, std::string* why) {
  CstrParams p;
  p.volume = real_param(b, "volume", p.volume);
  p.rate_constant = real_param(b, "rate_constant", p.rate_constant);
  p.order = int_param(b, "order", p.order);
  const int blk = cstr_create(b.id.c_str(), int_param(b, "tanks", 1), p);
  if (blk == 0) {
    *why = "the stirred-tank model refused the block (see the message above)";
    return 0;
  }
  if (!cstr_add_stream_ports(blk)) {
    kvoblk_destroy(blk);
    *why = "the block refused its IN and OUT ports";
    return 0;
  }
  return blk;
}

int create_mixer(const BlockSpec& b, std::string* why) {
  const int blk = mix_create(b.id.c_str(), int_param(b, "inlets", 2));
  if (blk == 0) *why = "the mixer model refused the block (see the message above)";
  return blk;
}

int create_splitter(const BlockSpec& b, std::string* why) {
  const Parameter* p = b.param("fractions");
  const int blk = split_create(b.id.c_str(), p ? p->value.list : std::vector<double>{0.5, 0.5});
  if (blk == 0) *why = "the splitter model refused the block (see the message above)";
  return blk;
}

int create_heater(const BlockSpec& b, std::string* why) {
  HeaterParams p;
  p.cp = real_param(b, "cp", p.cp);
  p.duty = real_param(b, "duty", p.duty);
  const int blk = heater_create(b.id.c_str(), p);
  if (blk == 0) *why = "the heater model refused the block (see the message above)";
  return blk;
}

int create_flash(const BlockSpec& b, std::string* why) {
  FlashParams p;
  p.temperature = real_param(b, "temperature", p.temperature);
  p.pressure = real_param(b, "pressure", p.pressure);
  p.ctot = real_param(b, "total_concentration", p.ctot);
  const char* names[3] = {"antoine_a", "antoine_b", "antoine_c"};
  double* fields[3] = {p.a, p.b, p.c};
  for (int k = 0; k < 3; ++k) {
    const Parameter* q = b.param(names[k]);
    if (!q) continue;
    if (q->value.list.size() != 2) {
      *why = std::string("parameter ") + names[k] + " must list two numbers, for A and B";
      return 0;
    }
    fields[k][0] = q->value.list[0];
    fields[k][1] = q->value.list[1];
  }
  const int blk = flash_create(b.id.c_str(), p);
  if (blk == 0) *why = "the flash model refused the block (see the message above)";
  return blk;
}

}  // namespace

const std::vector<BuiltinModel>& builtin_models() {
  static const std::vector<BuiltinModel> models = {
      {"CSTR",
       "a chain of stirred tanks with the reaction A -> B; ports IN, OUT (F, CA, CB)",
       {{"tanks", Value::INTEGER, true, "the number of tanks in series", 1, CSTR_MAX_TANKS},
        {"volume", Value::REAL, false, "the volume of each tank in m3 (default 4)", 1e-9, kBig},
        {"rate_constant", Value::REAL, false,
         "k in 1/h for first order, m3/(kmol h) for second (default 1.5)", 0, kBig},
        {"order", Value::INTEGER, false, "the reaction order, 1 or 2 (default 1)", 1, 2}},
       create_cstr},
      {"MIXER",
       "a mixer of n liquid streams; ports IN1..INn, OUT (F, CA, CB)",
       {{"inlets", Value::INTEGER, false, "the number of inlets (default 2)", 1, MIX_MAX_INLETS}},
       create_mixer},
      {"SPLITTER",
       "a splitter into m streams of the inlet's composition; ports IN, OUT1..OUTm",
       {{"fractions", Value::LIST, true,
         "the starting split fractions, one per outlet (fix all but one)", 0, 1}},
       create_splitter},
      {"HEATER",
       "a heater or cooler with an energy balance; ports IN, OUT (mass flow, T)",
       {{"cp", Value::REAL, false, "the heat capacity in kJ/(kg K) (default 4.18)", 1e-9, kBig},
        {"duty", Value::REAL, false, "the starting heat duty Q in kW (default 100)", -kBig, kBig}},
       create_heater},
      {"FLASH",
       "a two-component flash drum, Antoine and Raoult; ports FEED, VAP, LIQ (F, CA, CB)",
       {{"temperature", Value::REAL, false, "the starting temperature T in K (default 370)", 1,
         5000},
        {"pressure", Value::REAL, false, "the starting pressure P in kPa (default 101.325)", 1e-6,
         1e6},
        {"total_concentration", Value::REAL, false,
         "the total concentration of every stream in kmol/m3 (default 2)", 1e-9, kBig},
        {"antoine_a", Value::LIST, false, "Antoine a of A and B (log10 kPa, K)", -kBig, kBig},
        {"antoine_b", Value::LIST, false, "Antoine b of A and B", -kBig, kBig},
        {"antoine_c", Value::LIST, false, "Antoine c of A and B", -kBig, kBig}},
       create_flash},
  };
  return models;
}

}  // namespace kvoflow
