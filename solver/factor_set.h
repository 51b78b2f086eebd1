// The factor's file set: one file holding everything a later solve needs and
// everything a resumed factorisation needs to go on, and the checkpoints by
// which it moves from one durable state to the next.
//
// Matrices of the set (qualifier 1 unless said):
//
//   META   integers: what was factorised (order, block order, kind, ordering,
//          a hash of the input, the memory the plan was made for, limits)
//   PERM   the numbering of the factor: row i of U is row PERM[i] of A
//   BROW   BCOL  the block structure of U (block rows, their block columns)
//   PLAN   the panels of block rows and how each is cut into column chunks
//   A      the matrix itself, when it came as a dense file (storage form 1)
//   U s    segment s = 1, 2, ...: the blocks of the block rows factorised
//          between checkpoints s - 1 and s (storage form 6, n x n)
//   SEG s  what segment s holds: its panels and block rows, a checksum of its
//          blocks, the signs of its pivots and the tiny-pivot diagnostics
//   DONE   present once every block row is factorised
//
// Why segments: a file set reopened after a crash is as its last removal left
// it as long as the session in between only added new matrices. Rewriting
// blocks, indexes or headers of a matrix that existed at the last removal
// gives no such promise. So each stretch of work goes into a matrix of its
// own, created after one checkpoint and complete at the next; a segment is
// only ever read after that. A checkpoint releases the matrices, removes the
// set (its tables and header reach the file), flushes the file to stable
// storage and opens the set again.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ordering.h"
#include "store.h"
#include "symbolic.h"

namespace tessera::solve {

// A factor set that cannot be used: foreign, damaged or incomplete.
class TESSERA_SOLVE_API FactorError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct FactorHeader {
  int32_t n = 0;
  int32_t nb = 0;
  bool indefinite = false;
  Ordering ordering = Ordering::natural;
  uint64_t input_hash = 0;
  int64_t memory = 0;        // bytes the plan was made for
  int32_t segments_max = 0;  // checkpoints at most
  bool input_stored = false;  // the matrix is kept in A
  int64_t input_entries = 0;
};

// Panels of block rows [r0, r1), each cut into chunks of its block columns
// beyond its square: chunk k spans positions chunk[k] .. chunk[k+1]-1 of the
// panel's column list (which follows from the structure).
struct PanelPlan {
  int32_t r0 = 0, r1 = 0;
  std::vector<int32_t> chunk;
};

struct SegmentRecord {
  int32_t panel_begin = 0, panel_end = 0;  // panels [begin, end)
  int32_t row_begin = 0, row_end = 0;      // block rows [begin, end)
  uint64_t checksum = 0;                   // of the blocks, see block_checksum
  std::vector<int32_t> pivot_area;         // the Xchosky words at the checkpoint
};

// The checksum of one stored block, column by column, only the upper
// triangle of a diagonal block; the sum over blocks (mod 2^64) does not
// depend on the order they are met in.
uint64_t block_checksum(const double *a, int64_t lda, int32_t rows, int32_t cols, bool diagonal,
                        int32_t I, int32_t J);

class TESSERA_SOLVE_API FactorSet {
 public:
  // A new set with room for initial_words words of records, and what the
  // factorisation is about. Nothing is written before the first checkpoint,
  // which writes the description (the header may still change until then:
  // header()).
  static std::unique_ptr<FactorSet> create(const std::string &path, int64_t area_words,
                                           int32_t ndesc, int64_t initial_words,
                                           const FactorHeader &header,
                                           const std::vector<int32_t> &perm,
                                           const BlockStructure &structure,
                                           const std::vector<PanelPlan> &plan);
  // An existing set, read and checked; its segments are opened for reading.
  static std::unique_ptr<FactorSet> open(const std::string &path, int64_t area_words,
                                         int32_t ndesc);
  ~FactorSet();

  const FactorHeader &header() const { return header_; }
  FactorHeader &header() { return header_; }
  const std::vector<int32_t> &perm() const { return perm_; }
  const BlockStructure &structure() const { return structure_; }
  const std::vector<PanelPlan> &plan() const { return plan_; }
  const std::vector<SegmentRecord> &segments() const { return segments_; }
  bool complete() const { return complete_; }
  // Signs of the pivots of every row factorised so far (n of them).
  std::vector<int8_t> &signs() { return signs_; }
  const std::string &path() const { return path_; }
  ControlArea &area() { return *area_; }
  FileSet &set() { return set_; }

  // Panels and block rows done: those of all segments.
  int32_t panels_done() const { return segments_.empty() ? 0 : segments_.back().panel_end; }
  int32_t rows_done() const { return segments_.empty() ? 0 : segments_.back().row_end; }

  // The input matrix kept in the set (created by the caller before the first
  // checkpoint, reopened after each).
  Matrix &create_input(int32_t n);
  Matrix *input() { return input_.is_open() ? &input_ : nullptr; }

  // The segment matrix that holds block row I (open for reading, or the one
  // being written once rows_written has named the row), and the one being
  // written.
  Matrix &rows_of(int32_t block_row);
  Matrix &current();
  // Block rows [r0, r1) are in the segment being written.
  void rows_written(int32_t r0, int32_t r1);

  // Makes everything up to now durable: the current segment (when it holds
  // anything) with its record, and DONE when done. The first checkpoint
  // (before any panel) makes the set's description durable.
  void checkpoint(const SegmentRecord *segment, bool done);

  // Opens the next segment for writing (after open(), to resume).
  void start_segment();
  // Ends a factorisation that is not to be kept: the segment being written
  // holds the rest of the factor and stays open; nothing is made durable.
  void seal(const SegmentRecord &segment);

  // Reads every block of the segments and compares their checksums.
  void verify();

  // Ends the session: keep writes nothing more (the last checkpoint is what
  // stays), remove deletes the file.
  void close_keep() noexcept;
  void close_remove();

 private:
  FactorSet(std::unique_ptr<ControlArea> area, FileSet set, std::string path);
  void open_segments();
  void release_all();
  void describe();

  std::unique_ptr<ControlArea> area_;
  FileSet set_;
  std::string path_;
  FactorHeader header_;
  std::vector<int32_t> perm_;
  BlockStructure structure_;
  std::vector<PanelPlan> plan_;
  std::vector<SegmentRecord> segments_;
  std::vector<int8_t> signs_;
  bool complete_ = false;
  bool described_ = false;
  std::vector<Matrix> readers_;  // U 1 .. segments
  Matrix writer_;                // U segments + 1
  Matrix input_;
  // Block row -> index into readers_, kWriting in the segment being written,
  // or -1.
  std::vector<int32_t> row_segment_;
  static constexpr int32_t kWriting = -2;
};

}  // namespace tessera::solve
