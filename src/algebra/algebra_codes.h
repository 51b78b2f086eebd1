// Trace codes of the hypermatrix algebra (adding, copying, multiplying whole
// hypermatrices). One code per failure site; each is pushed where the failure
// is seen, after whatever the failing callee pushed.
#pragma once

#include <cstdint>

namespace tessera::trace {

// hladd: argument checks, then its worker.
inline constexpr int32_t kAddBadHandle = 29036;      // a handle names no open matrix
inline constexpr int32_t kAddReadOnly = 29035;      // destination opened read-only
inline constexpr int32_t kAddTypes = 29031;
inline constexpr int32_t kAddItems = 29034;
inline constexpr int32_t kAddRows = 29033;
inline constexpr int32_t kAddCols = 29030;
inline constexpr int32_t kAddForms = 29032;
inline constexpr int32_t kAddWorker = 32176;

// hl_add_blocks.
inline constexpr int32_t kAddEmpty = 32926;         // A - A: emptying failed
inline constexpr int32_t kAddWalk = 32927;          // a traversal step of the source
inline constexpr int32_t kAddFetch = 32928;         // fetching the destination block

// hl_make_empty.
inline constexpr int32_t kEmptyKill = 32290;
inline constexpr int32_t kEmptyCreate = 32291;

// hlcopm: argument checks, then its worker.
inline constexpr int32_t kCopyBadHandle = 29121;
inline constexpr int32_t kCopyTypes = 29114;
inline constexpr int32_t kCopyItems = 29117;
inline constexpr int32_t kCopyShape = 29115;
inline constexpr int32_t kCopyTransposeType = 29118;
inline constexpr int32_t kCopyTransposeForm = 29119;
inline constexpr int32_t kCopyReadOnly = 29120;     // destination opened read-only
inline constexpr int32_t kCopyWorker = 32211;

// hl_copy_blocks.
inline constexpr int32_t kCopyWalk = 32970;
inline constexpr int32_t kCopyFetch = 32971;

// hlmult: argument checks, then the loop chooser.
inline constexpr int32_t kMultBadHandle = 29198;
inline constexpr int32_t kMultTypes = 29194;
inline constexpr int32_t kMultItems = 29196;
inline constexpr int32_t kMultShape = 29195;
inline constexpr int32_t kMultReadOnly = 29197;     // product matrix opened read-only
// The three matrices do not share one hyperblock order (status 16): the
// product walks all three in hyperblocks of A's order, and its directories
// have room for no more.
inline constexpr int32_t kMultHyperOrder = 34851;
inline constexpr int32_t kMultWorker = 32249;

// hl_mult_select, by the loop it chose.
inline constexpr int32_t kSelectSymSym = 33178;
inline constexpr int32_t kSelectSymGen = 33179;
inline constexpr int32_t kSelectGenSym = 33180;
inline constexpr int32_t kSelectGenGen = 33181;

// The hyperblock loops: product / load / areas taken / areas given back.
struct LoopCodes {
  int32_t product, load, take, give;
};
inline constexpr LoopCodes kLoopGenGen = {33172, 33173, 33174, 33175};
inline constexpr LoopCodes kLoopSymGen = {33160, 33161, 33162, 33163};
inline constexpr LoopCodes kLoopGenSym = {33166, 33167, 33168, 33169};
inline constexpr LoopCodes kLoopSymSym = {33154, 33155, 33156, 33157};

// hl_hyper_load: a traversal step failed.
inline constexpr int32_t kHyperLoadWalk = 33008;

// hl_hyper_product, by the block loop it chose.
inline constexpr int32_t kProductSymSym = 32858;
inline constexpr int32_t kProductSymGen = 32859;
inline constexpr int32_t kProductGenSym = 32860;
inline constexpr int32_t kProductGenGen = 32861;

// Block loops.
inline constexpr int32_t kGenGenScratch = 32850;
inline constexpr int32_t kGenGenScratchBack = 32851;
inline constexpr int32_t kGenGenCreate = 32852;
inline constexpr int32_t kSymSymCreate = 32842;
inline constexpr int32_t kSymGenCreate = 32846;
inline constexpr int32_t kGenSymCreate = 32848;

}  // namespace tessera::trace
