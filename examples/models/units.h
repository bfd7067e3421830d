// SPDX-License-Identifier: BSD-3-Clause
// A small library of unit models beside the stirred-tank chain: a mixer of n inlets, a splitter
// with split fractions, a heater/cooler with an energy balance and a two-component flash drum
// with ideal vapour-liquid equilibrium. Each one states its pattern (selfpat) and its analytic
// Jacobian (selfjac), so all four derivative methods and the pattern comparison work on it.
//
// Streams. The mixer, splitter and flash carry the stirred-tank chain's liquid stream: a
// volumetric flow F (m3/h) and the molar concentrations CA and CB (kmol/m3) of the two
// components A and B. The heater carries a thermal stream: a mass flow F (kg/s) and a
// temperature T (K). Each block makes its own ports at creation (kvoref::Port with direction,
// kinds and labels), bound to its variables when it is placed, so that connections can check
// what they join.
//
// Every block's variables and equations are named "<id>.<item>"; the items are listed with each
// model. Every model keeps its parameters in its own record words, reads its variables through
// the kvomodel helpers and places its items with the reference host's list services.
#pragma once

#include <string>
#include <vector>

#include <kvoblk/kvoblk.h>
#include "kvoconnect.h"

// The two streams the models' ports carry: liquid (F m3/h, CA and CB kmol/m3) and thermal
// (F kg/s, T K). The stirred-tank chain's ports carry the liquid stream as well.
const kvoref::StreamSpec& liquid_stream();
const kvoref::StreamSpec& thermal_stream();

// ---- Mixer -------------------------------------------------------------------------------------
// Variables: IN<j>.F, IN<j>.CA, IN<j>.CB for inlets j = 1..n, then OUT.F, OUT.CA, OUT.CB.
// Equations and their non-zeros (5n + 5 in all):
//   FLOW:  F - sum F_j                 = 0   d/dF_j = -1, d/dF = 1
//   BALA:  F CA - sum F_j CA_j         = 0   d/dF_j = -CA_j, d/dCA_j = -F_j, d/dF = CA, d/dCA = F
//   BALB:  F CB - sum F_j CB_j         = 0   likewise with CB
// Ports IN1..INn (inlets) and OUT (outlet). Degrees of freedom: the 3n inlet variables.
constexpr int MIX_MAX_INLETS = 64;
int mix_create(const char* id, int ninlets);
int mix_ninlets(int blk);

// ---- Splitter ----------------------------------------------------------------------------------
// Variables: IN.F, IN.CA, IN.CB; OUT<j>.F, OUT<j>.CA, OUT<j>.CB for outlets j = 1..m; SF(1)..SF(m),
// the split fractions. Equations (3m + 1, non-zeros 8m):
//   FLOW(j):  F_j - SF_j F  = 0   d/dF_j = 1, d/dSF_j = -F, d/dF = -SF_j
//   CA(j):    CA_j - CA     = 0   d/dCA_j = 1, d/dCA = -1
//   CB(j):    CB_j - CB     = 0   likewise
//   SUM:      sum SF_j - 1  = 0   d/dSF_j = 1
// The fractions start at the values given; the host fixes all but one of them (the free one
// follows from SUM). Ports IN (inlet) and OUT1..OUTm (outlets).
constexpr int SPLIT_MAX_OUTLETS = 64;
int split_create(const char* id, const std::vector<double>& fractions);
int split_noutlets(int blk);
// List position of the split fraction of outlet j (1..m); 0 when not placed.
int split_fraction_var(int blk, int j);

// ---- Heater / cooler ---------------------------------------------------------------------------
// Variables: IN.F, IN.T, OUT.F, OUT.T, Q (heat duty, kW; negative for a cooler). Equations (6
// non-zeros):
//   FLOW:  F_out - F_in                  = 0   d/dF_out = 1, d/dF_in = -1
//   HEAT:  F_in cp (T_out - T_in) - Q    = 0   d/dF_in = cp (T_out - T_in), d/dT_out = F_in cp,
//                                              d/dT_in = -F_in cp, d/dQ = -1
// with the heat capacity cp (kJ/(kg K)). Ports IN and OUT (mass flow, temperature). The host
// fixes the inlet and either Q or T_out.
struct HeaterParams {
  double cp = 4.18;     // kJ/(kg K)
  double duty = 100.0;  // kW, the starting value of Q
};
int heater_create(const char* id, const HeaterParams& params = HeaterParams());

// ---- Flash drum --------------------------------------------------------------------------------
// Two components A (the lighter) and B at temperature T (K) and pressure P (kPa). Vapour
// pressures by Antoine, log10(Psat/kPa) = a - b / (T/K + c); ideal phases by Raoult's law,
// y_i P = x_i Psat_i. Streams on the liquid basis of the chain: the vapour is counted as its
// condensate, every stream has the same total concentration ctot (kmol/m3), so the mole
// fractions are x_A = CA_L / ctot, y_A = CA_V / ctot.
// Variables: FEED.F, FEED.CA, FEED.CB, VAP.F, VAP.CA, VAP.CB, LIQ.F, LIQ.CA, LIQ.CB, T, P.
// Equations (24 non-zeros):
//   BALA:  F0 CA0 - FV CAV - FL CAL = 0      d/dF0 = CA0, d/dCA0 = F0, d/dFV = -CAV,
//                                            d/dCAV = -FV, d/dFL = -CAL, d/dCAL = -FL
//   BALB:  F0 CB0 - FV CBV - FL CBL = 0      likewise with CB
//   VLEA:  CAV P - CAL PsatA(T)     = 0      d/dCAV = P, d/dP = CAV, d/dCAL = -PsatA,
//                                            d/dT = -CAL PsatA ln10 bA / (T + cA)^2
//   VLEB:  CBV P - CBL PsatB(T)     = 0      likewise with B
//   SUMV:  CAV + CBV - ctot         = 0      d/dCAV = d/dCBV = 1
//   SUML:  CAL + CBL - ctot         = 0      d/dCAL = d/dCBL = 1
// Ports FEED (inlet), VAP and LIQ (outlets). The host fixes the feed, T and P.
struct FlashParams {
  // Antoine constants of A and B for kPa and K.
  double a[2] = {6.03055, 6.07954};
  double b[2] = {1211.033, 1344.8};
  double c[2] = {-52.36, -53.668};
  double ctot = 2.0;          // kmol/m3
  double temperature = 370;   // K, starting value of T
  double pressure = 101.325;  // kPa, starting value of P
};
int flash_create(const char* id, const FlashParams& params = FlashParams());
// Vapour pressure of component i (0 = A, 1 = B) at T by the block's constants (kPa).
double flash_psat(const FlashParams& params, int component, double temperature);

// ---- Common ------------------------------------------------------------------------------------
// The model name of a block made by one of the creation functions above or by cstr_create
// ("MIXER", "SPLITTER", "HEATER", "FLASH", "CSTR"), or "" for another block.
const char* unit_model_name(int blk);

// How many times the residual routine of these models ran, over all blocks (numeric Jacobians,
// Schubert updates and pattern detection included), since the last reset.
long units_residual_calls();
void units_reset_call_counts();
