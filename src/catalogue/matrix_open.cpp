// Creating and opening matrices: hmnewm, hmoldm and their steps. Creation
// fills a fresh descriptor, enters the matrix in its file set's directory
// and reserves its first block records; opening reads the stored header back
// into a descriptor, brings the extent table in and derives the geometry.
//
// A create or open that fails after taking its descriptor slot gives the
// slot back (and a create its directory entry), so that a failed call never
// leaves a half-open matrix that would keep its file set from being removed.
#include <algorithm>
#include <cstdint>

#include "catalogue/descriptor_words.h"
#include "catalogue/directory.h"
#include "catalogue/extent_list.h"
#include "catalogue/matrix.h"
#include "catalogue/matrix_codes.h"
#include "catalogue/pools.h"
#include "catalogue/record_space.h"
#include "common/status.h"
#include "common/type_form.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/record_io.h"
#include "control/trace.h"
#include "tessera.h"
#include "transfer/convert.h"

namespace tessera {
namespace {

constexpr int32_t kWord6AtCreation = 3;
constexpr int32_t kOpenCreated = 2;
constexpr int32_t kOpenOpened = 1;
// The band width an opened matrix reports is capped at 2^22, so that
// 256 times it still fits the storage word.
constexpr int32_t kBandCap = 1 << 22;
// Records reserved at a time: 1000 granules' worth for a new matrix, 3000
// for an opened one, which already has blocks and is likely to grow.
constexpr int32_t kNewReserveGranules = 1000;
constexpr int32_t kOldReserveGranules = 3000;

// Types 11 and 12 have one stored column whatever n is.
bool is_one_column(int32_t t) { return t == etype::kInt32Column || t == etype::kInt32ItemsColumn; }

int32_t ceil_div32(int64_t a, int64_t b) { return static_cast<int32_t>((a + b - 1) / b); }

WordView fileset_of(int32_t *ctrl, WordView d) { return WordView(ctrl, d[dw::kFileset]); }

// The search key of a descriptor: words 1-4 (qualifier, three name words).
void set_key(WordView d, const int32_t *name, int32_t qualifier) {
  d[dw::kQualifier] = qualifier;
  for (int32_t i = 0; i < 3; ++i) d[dw::kName + i] = name[i];
}

}  // namespace

// ---- creating ----------------------------------------------------------------

int32_t hm_matrix_define(int32_t *ctrl, int32_t D, int32_t typeword, int32_t storageword,
                         int32_t nrows, int32_t ncols) {
  WordView c = control_view(ctrl);
  WordView d(ctrl, D);
  WordView fs = fileset_of(ctrl, d);
  const int32_t L = fs[fsw::kRecordLength];
  d[dw::kWord6] = kWord6AtCreation;
  d[dw::kTriangle] = 0;

  int32_t record = 0, offset = 0;
  if (int32_t st = hm_dir_enter(ctrl, D, record, offset); st != status::kOk)
    return hm_fail(st, trace::kDefineDirectory);
  d[dw::kHeaderRecord] = record;
  d[dw::kHeaderOffset] = offset;

  const int32_t t = typeword % 256;
  const int32_t k = typeword / 256 == 0 ? 1 : typeword / 256;
  d[dw::kType] = t;
  d[dw::kItems] = k;
  if (t < 1 || t > etype::kLast || k < 1) return hm_fail(status::kBadType, trace::kDefineType);

  d[dw::kRows] = nrows;
  d[dw::kCols] = ncols;
  const int32_t s = storageword % 128;
  if (s < 1 || s > form::kLast) return hm_fail(status::kBadForm, trace::kDefineForm);
  d[dw::kForm] = s;
  if (s == form::kSymmetric || s == form::kUpper) d[dw::kTriangle] = 1;
  d[dw::kStoredCols] =
      (s == form::kDiagonal || is_one_column(t)) ? 1 : ncols;

  if (s == form::kDiagonal) {
    d[dw::kLowerBand] = d[dw::kUpperBand] = 0;
  } else if ((storageword / 128) % 2 != 0) {
    d[dw::kLowerBand] = d[dw::kUpperBand] = storageword / 256;
  } else {
    d[dw::kLowerBand] = nrows - 1;
    d[dw::kUpperBand] = ncols - 1;
  }
  d[dw::kLowerSeen] = d[dw::kUpperSeen] = 0;

  const int32_t b1 = hm_hyper_order(ctrl);
  if (b1 < 1) return hm_fail(status::kPoolTooSmallForHyperblock, trace::kDefineHyperblock);
  d[dw::kHyperOrder] = b1;
  d[dw::kWord41] = c[cw::kSizing] - 4;
  d[dw::kRightPacked] = d[dw::kBottomPacked] = 0;

  const int32_t nb = hm_block_order(L, t, k);
  if (nb == 0) return hm_fail(status::kRecordTooSmall, trace::kDefineBlockOrder);
  d[dw::kBlockOrder] = nb;
  // A grid with more blocks than a position number counts cannot be
  // indexed; it is refused like any other table that would overflow.
  if (!hm_matrix_geometry(d, L)) return hm_fail(status::kFull, trace::kDefineGrid);
  for (int32_t w = dw::kIndexNodes; w <= dw::kIndexRoot; ++w) d[w] = 0;
  for (int32_t w = dw::kTrees; w < dw::kTrees + 8; ++w) d[w] = 0;
  d[dw::kRootArea] = d[dw::kRightBuffer] = d[dw::kBottomBuffer] = 0;
  for (int32_t i = 0; i < 4; ++i) d[dw::kAscCursor + i] = d[dw::kDescCursor + i] = 0;

  if (d[dw::kTriangle] == 1) {
    // One triangle of a square block grid, diagonal included.
    d[dw::kRecordsNeeded] =
        static_cast<int32_t>((int64_t{d[dw::kBlockRows]} + d[dw::kGridBlocks] + 1) / 2);
  } else {
    int64_t need = int64_t{d[dw::kFullBlockRows]} * d[dw::kFullBlockCols];
    if (d[dw::kRightPerRecord] != 0) need += ceil_div32(d[dw::kBlockRows], d[dw::kRightPerRecord]);
    if (d[dw::kBottomPerRecord] != 0)
      need += ceil_div32(d[dw::kBlockCols], d[dw::kBottomPerRecord]);
    d[dw::kRecordsNeeded] = static_cast<int32_t>(need);
  }

  d[dw::kFirstReserve] = d[dw::kLaterReserve] =
      ceil_div32(int64_t{kNewReserveGranules} * c[cw::kGranule], L);

  // The extent table starts inside the slot: 7 entries at words 101-128.
  d[dw::kPlacement] = 1;
  d[dw::kTableRecords] = 1;
  d[dw::kTableRecord] = d[dw::kHeaderRecord];
  d[dw::kTableOffset] = d[dw::kHeaderOffset] + (dw::kInSlotTable - 1);
  d[dw::kTableCapacity] = dw::kInSlotEntries;
  d[dw::kTableAddress] = D + (dw::kInSlotTable - 1);
  hm_extent_table_init({d.at(dw::kInSlotTable), d.at(dw::kTableFree)}, dw::kInSlotEntries);
  for (int32_t i = 0; i < 4; ++i) d[dw::kUsedList + i] = d[dw::kReservedList + i] = 0;

  if (int32_t st = hm_reserve_records(ctrl, D, d[dw::kFirstReserve]); st != status::kOk)
    return hm_fail(st, trace::kDefineReserve);

  d[dw::kOpenState] = kOpenCreated;
  for (int32_t w = dw::kReadOnlyFlag; w <= dw::kDirectTableWords + 4; ++w) d[w] = 0;
  return status::kOk;
}

int32_t hm_matrix_create(int32_t *ctrl, const int32_t *name, int32_t qualifier, int32_t fileset,
                         int32_t typeword, int32_t storageword, int32_t nrows, int32_t ncols,
                         int32_t &D) {
  D = 0;
  // The file-set handle is used as a base for writes into the directory; a
  // handle of no open file set would make them land anywhere.
  if (!hm_fileset_handle_valid(ctrl, fileset))
    return hm_fail(status::kBadFilesetArgument, trace::kNewmBadFileset);
  if (int32_t st = hm_desc_alloc(ctrl, D); st != status::kOk)
    return hm_fail(st, trace::kNewmNoSlot);

  WordView d(ctrl, D);
  // Start from a clean slot, so that nothing of an earlier matrix reaches
  // this one's header.
  for (int32_t w = 1; w <= dw::kWords; ++w) d[w] = 0;
  set_key(d, name, qualifier);
  d[dw::kFileset] = fileset;

  int32_t st = status::kOk;
  if (hm_dir_lookup(ctrl, fileset, d.at(dw::kQualifier)) != 0) {
    st = hm_fail(status::kMatrixExists, trace::kNewmExists);
  } else if (ncols <= 0) {
    st = hm_fail(status::kColumnsNotPositive, trace::kNewmColumns);
  } else if (nrows <= 0) {
    st = hm_fail(status::kRowsNotPositive, trace::kNewmRows);
  } else if (storageword % 128 == form::kSymmetric &&
             (nrows != ncols || (is_one_column(typeword % 256) && nrows != 1))) {
    // A symmetric matrix stores one triangle of a square block grid and
    // mirrors its diagonal blocks; a rectangular one (or one of the types
    // with a single stored column) would lose the blocks beyond the square
    // and mirror outside the diagonal blocks.
    st = hm_fail(status::kShapesDoNotConform, trace::kNewmNotSquare);
  } else {
    if (storageword % 128 == form::kObsolete) {
      storageword -= form::kObsolete - form::kGeneral;
      hm_push_trace(trace::kNewmForm9);
    }
    st = hm_matrix_define(ctrl, D, typeword, storageword, nrows, ncols);
    if (st == status::kOk) return st;
    hm_push_trace(trace::kNewmDefine);
    // Records reserved before the failure go back to the file set, and the
    // directory entry (when the define got that far) is undone. Their own
    // statuses are not the caller's concern: the define's failure is.
    if (d[dw::kTableAddress] != 0) hm_unreserve(ctrl, D);
    hm_dir_cancel(ctrl, D);
  }
  hm_desc_free(ctrl, D);
  return st;
}

// ---- opening -----------------------------------------------------------------

int32_t hm_header_read(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  const int32_t k = d[dw::kFileset];
  const int32_t L = WordView(ctrl, k)[fsw::kRecordLength];
  int32_t area = 0;
  if (int32_t st = hm_work_alloc(ctrl, L, area); st != status::kOk)
    return hm_fail(st, trace::kHeaderReadWork);
  if (int32_t st = hm_fileset_read(ctrl, k, 1, d[dw::kHeaderRecord], word_at(ctrl, area));
      st != status::kOk) {
    hm_work_free(ctrl, L, area);
    return hm_fail(st, trace::kHeaderReadRecord);
  }
  const int32_t *header = word_at(ctrl, area + d[dw::kHeaderOffset] - 1);
  std::copy(header, header + dw::kWords, d.at(1));
  if (int32_t st = hm_work_free(ctrl, L, area); st != status::kOk)
    return hm_fail(st, trace::kHeaderReadFree);
  return status::kOk;
}

int32_t hm_matrix_restore(int32_t *ctrl, int32_t D, int32_t &typeword, int32_t &storageword,
                          int32_t &nrows, int32_t &ncols) {
  WordView c = control_view(ctrl);
  WordView d(ctrl, D);
  const int32_t L = fileset_of(ctrl, d)[fsw::kRecordLength];
  const int32_t band = std::min({d[dw::kLowerBand], d[dw::kUpperBand], kBandCap});

  const int32_t nb = hm_block_order(L, d[dw::kType], d[dw::kItems]);
  int32_t st = nb == 0 ? status::kRecordTooSmall : status::kOk;
  if (st == status::kOk && d[dw::kPlacement] != 1 && d[dw::kHyperOrder] < 1)
    st = status::kPoolTooSmallForHyperblock;
  if (st != status::kOk) return hm_fail(st, trace::kRestore);

  if (d[dw::kReadOnlyFlag] != 1)
    d[dw::kFirstReserve] = d[dw::kLaterReserve] =
        ceil_div32(int64_t{kOldReserveGranules} * c[cw::kGranule], L);
  d[dw::kBlockOrder] = nb;
  if (d[dw::kPlacement] != 1) {
    // The header of placements 2 and 3 kept only words 1-41 (the extent
    // table filled the rest), so every derived word is computed again.
    if (!hm_matrix_geometry(d, L)) return hm_fail(status::kFull, trace::kRestore);
  } else {
    const int64_t m = d[dw::kRows], n = d[dw::kCols], ns = d[dw::kStoredCols];
    d[dw::kBlockRows] = ceil_div32(m, nb);
    d[dw::kBlockColsOfN] = ceil_div32(n, nb);
    d[dw::kBlockCols] = ceil_div32(ns, nb);
  }
  for (int32_t w = dw::kTrees; w < dw::kTrees + 8; ++w) d[w] = 0;
  d[dw::kRightBuffer] = d[dw::kBottomBuffer] = 0;
  for (int32_t w = dw::kAscCursor; w <= dw::kReservedList + 3; ++w) d[w] = 0;
  for (int32_t w = dw::kDescCursor; w <= dw::kRootArea; ++w) d[w] = 0;
  d[dw::kOpenState] = kOpenOpened;
  for (int32_t w = dw::kDirectTable; w <= dw::kDirectTableWords + 4; ++w) d[w] = 0;
  hm_dir_mark_open(ctrl, D);

  typeword = 256 * d[dw::kItems] + d[dw::kType];
  storageword = 256 * band + 128 + d[dw::kForm];
  nrows = d[dw::kRows];
  ncols = d[dw::kCols];
  return status::kOk;
}

namespace {

// Bring the extent table of an opened matrix into the control area, by its
// placement, and set word 85 to it (0 when the matrix is read-only or has no
// table). Runs right after the header read: the table of placement 2 is
// descriptor words 42-128 as read, before anything else is written there.
int32_t load_extent_table(int32_t *ctrl, int32_t D, int32_t fileset, int32_t readonly) {
  WordView d(ctrl, D);
  int32_t area = 0;
  int32_t st = status::kOk;
  if (readonly != 0) {
    area = 0;
  } else if (d[dw::kPlacement] == 1) {
    area = D + (dw::kInSlotTable - 1);
  } else if (d[dw::kPlacement] == 2) {
    st = hm_small_alloc(ctrl, dw::kSmallTableWords, area);
    if (st != status::kOk) {
      hm_push_trace(trace::kOldmSmallTable);
      area = 0;
    } else {
      // The header of placement 2 carries the table after word 41.
      const int32_t *saved = d.at(dw::kHeaderPrefixWords + 1);
      std::copy(saved, saved + dw::kSmallTableWords, word_at(ctrl, area));
    }
  } else if (d[dw::kPlacement] == 3) {
    const int32_t records = d[dw::kTableRecords];
    const int32_t words = records * WordView(ctrl, fileset)[fsw::kRecordLength];
    st = hm_work_alloc(ctrl, words, area);
    if (st != status::kOk) {
      hm_push_trace(trace::kOldmWorkTable);
      area = 0;
    } else if ((st = hm_fileset_read(ctrl, fileset, records, d[dw::kTableRecord],
                                     word_at(ctrl, area))) != status::kOk) {
      hm_work_free(ctrl, words, area);
      hm_push_trace(trace::kOldmTableRead);
      area = 0;
    }
  }
  d[dw::kTableAddress] = area;
  return st;
}

// Give back the area load_extent_table took (a failed open keeps nothing).
void drop_extent_table(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  int32_t area = d[dw::kTableAddress];
  if (area == 0) return;
  if (d[dw::kPlacement] == 2) hm_small_free(ctrl, dw::kSmallTableWords, area);
  if (d[dw::kPlacement] == 3)
    hm_work_free(ctrl, d[dw::kTableRecords] * fileset_of(ctrl, d)[fsw::kRecordLength], area);
  d[dw::kTableAddress] = 0;
}

}  // namespace

int32_t hm_matrix_open(int32_t *ctrl, const int32_t *name, int32_t qualifier, int32_t fileset,
                       int32_t readonly, int32_t &typeword, int32_t &storageword,
                       int32_t &nrows, int32_t &ncols, int32_t &D) {
  D = 0;
  if (!hm_fileset_handle_valid(ctrl, fileset))
    return hm_fail(status::kBadFilesetArgument, trace::kOldmBadFileset);
  if (int32_t st = hm_desc_alloc(ctrl, D); st != status::kOk)
    return hm_fail(st, trace::kOldmNoSlot);
  WordView d(ctrl, D);
  set_key(d, name, qualifier);
  d[dw::kFileset] = fileset;

  const int32_t node = hm_dir_lookup(ctrl, fileset, d.at(dw::kQualifier));
  int32_t st = status::kOk;
  if (node == 0) {
    st = hm_fail(status::kNoSuchMatrix, trace::kOldmAbsent);
  } else if (const int32_t open = *hm_dir_node_word(ctrl, fileset, node, dirw::kHandle);
             open != 0 && hm_matrix_handle_valid(ctrl, open) &&
             WordView(ctrl, open)[dw::kFileset] == fileset) {
    // A second descriptor of one matrix would keep its own buffers, index
    // root and extent table, and the two releases would overwrite each
    // other's records. The host already holds the open handle.
    st = hm_fail(status::kMatrixStillOpen, trace::kOldmAlreadyOpen);
  }
  if (st != status::kOk) {
    hm_desc_free(ctrl, D);
    return st;
  }

  d[dw::kHeaderRecord] = *hm_dir_node_word(ctrl, fileset, node, dirw::kHeaderRecord);
  d[dw::kHeaderOffset] = *hm_dir_node_word(ctrl, fileset, node, dirw::kHeaderOffset);
  *hm_dir_node_word(ctrl, fileset, node, dirw::kHandle) = D;

  st = hm_header_read(ctrl, D);
  if (st != status::kOk) {
    hm_push_trace(trace::kOldmHeader);
    d[dw::kFileset] = fileset;
    d[dw::kTableAddress] = 0;
  } else {
    st = load_extent_table(ctrl, D, fileset, readonly);
    // The header copy brought a stale file-set handle.
    d[dw::kFileset] = fileset;
  }
  if (st == status::kOk) {
    d[dw::kReadOnlyFlag] = readonly != 0 ? 1 : 0;
    int32_t tw = 0, sw = 0, m = 0, n = 0;
    st = hm_matrix_restore(ctrl, D, tw, sw, m, n);
    if (st != status::kOk) {
      hm_push_trace(trace::kOldmRestore);
    } else {
      typeword = tw;
      storageword = sw;
      nrows = m;
      ncols = n;
      return status::kOk;
    }
  }
  drop_extent_table(ctrl, D);
  *hm_dir_node_word(ctrl, fileset, node, dirw::kHandle) = 0;
  hm_desc_free(ctrl, D);
  return st;
}

}  // namespace tessera

// ---- interface -----------------------------------------------------------------

extern "C" TESSERA_API void hmnewm(int32_t *ctrl, const int32_t *name, const int32_t *qualifier,
                                   const int32_t *fileset, const int32_t *typeword,
                                   const int32_t *storageword, const int32_t *nrows,
                                   const int32_t *ncols, int32_t *handle, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, false, ierr)) return;
  *ierr = 0;
  int32_t D = 0;
  *ierr = tessera::hm_matrix_create(ctrl, name, *qualifier, *fileset, *typeword, *storageword,
                                    *nrows, *ncols, D);
  *handle = D;
}

extern "C" TESSERA_API void hmoldm(int32_t *ctrl, const int32_t *name, const int32_t *qualifier,
                                   const int32_t *fileset, const int32_t *readonly,
                                   int32_t *typeword, int32_t *storageword, int32_t *nrows,
                                   int32_t *ncols, int32_t *handle, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, false, ierr)) return;
  *ierr = 0;
  int32_t D = 0;
  *ierr = tessera::hm_matrix_open(ctrl, name, *qualifier, *fileset, *readonly, *typeword,
                                  *storageword, *nrows, *ncols, D);
  *handle = D;
}
