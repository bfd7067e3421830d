// SPDX-License-Identifier: BSD-3-Clause
// A chain of continuous stirred tanks in series with the liquid-phase reaction A -> B, as one
// block. Each tank has a flow F (m3/h) and the concentrations CA and CB (kmol/m3); the feed of
// the first tank is part of the block as three more variables. Per tank i, with i-1 meaning the
// feed for the first tank:
//
//   FLOW(i):  F(i) - F(i-1)                                    = 0
//   BALA(i):  F(i-1) CA(i-1) - F(i) CA(i) - V k CA(i)^n        = 0
//   BALB(i):  F(i-1) CB(i-1) - F(i) CB(i) + V k CA(i)^n        = 0
//
// with tank volume V, rate constant k and reaction order n (1 or 2). The block has 3 + 3N
// variables, 3N equations and 11N non-zeros; the three feed variables are its degrees of
// freedom. Variables are named "<id>.IN.F", "<id>.IN.CA", "<id>.IN.CB" for the feed and
// "<id>.F(i)", "<id>.CA(i)", "<id>.CB(i)" for tank i; equations "<id>.FLOW(i)", "<id>.BALA(i)",
// "<id>.BALB(i)".
//
// Placement (the ini routine) defines the variables and equations and then initialises the
// block's pattern with kvoblk_pat_ini, the way the block's pattern initialisation type says:
// SELF (the default) takes the model's own pattern, NUMERIC detects it by perturbation, RESTORE
// reads the block's pattern file. A pattern that cannot be had makes the placement status 1.
// The analytic Jacobian fills whatever pattern the block got, in any entry order.
//
// Ports named IN and OUT are bound when the block is placed (or when added to a placed block):
// IN carries the feed (F, CA, CB), OUT the last tank's (F, CA, CB), in that order.
#pragma once

#include <kvoblk/kvoblk.h>

struct CstrParams {
  double volume = 4.0;         // m3 per tank
  double rate_constant = 1.5;  // 1/h for first order, m3/(kmol h) for second order
  int order = 1;               // 1 or 2
  double feed_flow = 10.0;     // m3/h
  double feed_ca = 2.0;        // kmol/m3
  double feed_cb = 0.0;        // kmol/m3
};

// What a variable of a tank (or of the feed, tank 0) is, and which balance an equation is.
enum CstrVar { CSTR_F = 0, CSTR_CA = 1, CSTR_CB = 2 };
enum CstrEqn { CSTR_FLOW = 0, CSTR_BALA = 1, CSTR_BALB = 2 };

// Largest number of tanks one block accepts.
constexpr int CSTR_MAX_TANKS = 100000;

// Size of a block of `ntanks` tanks (0 for a number of tanks the model refuses).
int cstr_nvars(int ntanks);
int cstr_neqns(int ntanks);
int cstr_nnz(int ntanks);

// Makes a block of `ntanks` tanks with the given id; answers the block handle, or 0 with a
// message on the history device when a parameter is refused or the workspace is full. The block
// starts with analytic derivatives and its own pattern; it is released with kvoblk_destroy.
int cstr_create(const char* id, int ntanks, const CstrParams& params = CstrParams());

// Gives a block made by cstr_create its stream ports for connections: IN (inlet) and OUT
// (outlet), each carrying F (volume flow), CA and CB (concentrations). False when a port is
// refused (for instance when the block has ports of these names already).
bool cstr_add_stream_ports(int blk);

// True for a live block made by cstr_create.
bool cstr_is_block(int blk);

// The block's tank count and parameters (feed as last set); 0 and defaults for other handles.
int cstr_ntanks(int blk);
CstrParams cstr_params(int blk);

// Changes the feed. A placed block's feed variables take the new values too.
bool cstr_set_feed(int blk, double flow, double ca, double cb);

// List position of a variable of tank `tank` (0 = the feed) or of an equation of tank `tank`
// (1..N); 0 when the block is not placed or the tank does not exist.
int cstr_var(int blk, int tank, CstrVar which);
int cstr_eqn(int blk, int tank, CstrEqn which);

// Current value of a variable of a placed block (0 when there is none).
double cstr_value(int blk, int tank, CstrVar which);

// Fraction of the A fed that leaves the last tank converted: 1 - F(N) CA(N) / (F(0) CA(0)).
double cstr_conversion(int blk);

// How many times the model's residual routine and its analytic Jacobian routine ran, over all
// blocks, since the program started or the counts were last reset. The residual count includes
// the evaluations made for numeric Jacobians, Schubert updates and pattern detection.
long cstr_residual_calls();
long cstr_jacobian_calls();
void cstr_reset_call_counts();

// The steady state of tank `tank` (0 = the feed) in closed form, for checking a solution.
// False for a tank below 0 or parameters the model refuses.
bool cstr_exact_state(const CstrParams& params, int tank, double* flow, double* ca, double* cb);
