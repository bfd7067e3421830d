// SPDX-License-Identifier: BSD-3-Clause
// Every example unit model through the same conformance checks: analytic Jacobian against
// central differences, stated pattern against detection at two points, placement at non-zero
// positions and offsets, every derivative method, all on a moving workspace.
#include "conformance.h"
#include "cstr.h"
#include "fixture.h"
#include "units.h"
#ifdef KVOBLK_HAVE_FORTRAN_MODELS
#include "mixer.h"
#endif

namespace {

class ModelConformance : public kvotest::KvoTest {};

TEST_F(ModelConformance, EveryExampleModelPassesEveryCheck) {
  CstrParams second_order;
  second_order.order = 2;
  std::vector<kvotest::ModelCase> models = {
      {"CSTR chain, first order", [] { return cstr_create("R1", 3); }},
      {"CSTR chain, second order", [=] { return cstr_create("R2", 2, second_order); }},
      {"mixer of three", [] { return mix_create("MIX", 3); }},
      {"mixer of one", [] { return mix_create("MIX", 1); }},
      {"splitter of three",
       [] {
         return split_create("SPL", {0.2, 0.3, 0.5});
       }},
      {"heater", [] { return heater_create("HX"); }},
      {"flash drum", [] { return flash_create("FL"); }},
  };
#ifdef KVOBLK_HAVE_FORTRAN_MODELS
  models.push_back({"Fortran mixer", [] { return mixer_create("MIX1"); }});
#endif
  for (const kvotest::ModelCase& m : models) {
    SCOPED_TRACE(m.name);
    kvotest::check_model_conformance(m);
  }
}

// The harness itself must catch a model whose analytic Jacobian is wrong and one whose stated
// pattern misses an entry.
void wrong_selfjac(int blk, int* status) {
  *status = 0;
  const kv_jac_t jac = blk_inq_matrix_jacobian(blk);
  for (int k = kvoblk_inq_nzstart(blk); k <= kvoblk_inq_nzstop(blk); ++k)
    kvojac_set_nz_value(jac, k, 1.0);
}

void short_selfpat(int blk, kv_jac_t* jac, int* status) {
  *status = 0;
  kvojac_set_nz_eqnnum(*jac, kvoblk_inq_nzstart(blk), kvoblk_inq_estart(blk));
  kvojac_set_nz_varnum(*jac, kvoblk_inq_nzstart(blk), kvoblk_inq_vstart(blk));
  kvoblk_set_nzstop(blk, kvoblk_inq_nzstart(blk));
}

TEST_F(ModelConformance, HarnessCatchesAWrongJacobianAndAShortPattern) {
  kvotest::ModelSample s;
  ASSERT_TRUE(kvotest::sample_model({"heater",
                                     [] {
                                       const int b = heater_create("HX");
                                       kvoblk_inq_ops(b)->selfjac = wrong_selfjac;
                                       return b;
                                     }},
                                    1, 1, 1, 0, &s));
  EXPECT_GT(s.worst_jacobian_error, 1e-3);
  EXPECT_GT(s.worst_method_difference, 1e-3);
}

TEST_F(ModelConformance, HarnessCatchesAPatternThatMissesEntries) {
  kvotest::ModelSample s;
  kvotest::sample_model({"mixer",
                         [] {
                           const int b = mix_create("MIX", 2);
                           kvoblk_inq_ops(b)->selfpat = short_selfpat;
                           return b;
                         }},
                        1, 1, 1, 0, &s);
  EXPECT_EQ(s.stated.size(), 1u);
  EXPECT_EQ(s.detected.size(), 15u);  // 5n + 5 for two inlets
}

}  // namespace
