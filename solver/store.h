// The solver's hold on libtessera: a control area of its own, the three host
// areas, file sets and matrices, each a small class over the library's public
// routines. Every refusal of the library becomes a LibraryError carrying the
// routine, the status and the error trace, so the layers above can report it
// and clean up; nothing here prints.
//
// The library keeps no state outside the areas its host gives it, so the
// solver owns one control area per file set it works on (their record lengths
// may differ) and links its own Xerror, Xcache and Xchosky areas for as long
// as a HostAreas object lives, giving the host's back afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "pages.h"
#include "problem.h"
#include "tessera.h"

namespace tessera::solve {

// A refusal of the library.
class TESSERA_SOLVE_API LibraryError : public std::runtime_error {
 public:
  LibraryError(const std::string &what, std::string routine, int32_t status,
               std::vector<int32_t> trace);
  const std::string &routine() const { return routine_; }
  int32_t status() const { return status_; }
  const std::vector<int32_t> &trace() const { return trace_; }

 private:
  std::string routine_;
  int32_t status_;
  std::vector<int32_t> trace_;
};

// Words of the pivot diagnostics area (0-based): three lists of 20 entries
// besides the count and the switch of tessera.h.
namespace host_words {
inline constexpr int kListEntries = 20;
// First word of each list's header (free head, free count, count, smallest
// end, largest end), of its link words (two per entry), of its column words,
// and first 64-bit word of its values.
struct PivotList {
  int header, links, columns, values;
};
inline constexpr PivotList kSmallest{435, 440, 480, 60};
inline constexpr PivotList kLargest{370, 375, 415, 40};
inline constexpr PivotList kRatios{500, 505, 545, 80};
// Header offsets of a list.
inline constexpr int kFreeHead = 0, kFreeCount = 1, kCount = 2, kSmallEnd = 3, kLargeEnd = 4;
}  // namespace host_words

// A tiny pivot that crudr replaced: its column (1-based, in the numbering the
// caller passed to crudr) and its value before replacement.
struct TinyPivot {
  int64_t column;
  double value;
};

// The error trace, cache and pivot areas, linked while the object lives.
class TESSERA_SOLVE_API HostAreas {
 public:
  HostAreas();
  ~HostAreas();
  HostAreas(const HostAreas &) = delete;
  HostAreas &operator=(const HostAreas &) = delete;

  std::vector<int32_t> trace() const;
  // Chains the three pivot lists as free and switches recording on.
  void start_pivot_recording();
  int64_t tiny_pivot_count() const;
  // The kept tiny pivots, smallest first, then largest (without repeats).
  std::vector<TinyPivot> tiny_pivots() const;
  // The whole pivot area, to be kept with a checkpoint and given back.
  std::vector<int32_t> pivot_area() const;
  void set_pivot_area(const std::vector<int32_t> &words);

 private:
  alignas(8) int32_t trace_[TESSERA_TRACE_WORDS] = {};
  alignas(8) int32_t cache_[TESSERA_CACHE_WORDS] = {};
  alignas(8) int32_t chosky_[TESSERA_CHOSKY_WORDS + 1] = {};
  char *saved_[3];
};

// Raises a LibraryError when ierr is not 0.
void check(int32_t ierr, const char *routine, const std::string &what);

class TESSERA_SOLVE_API ControlArea {
 public:
  // Words for a control area whose file sets use records of record_length
  // words, with at least `buffers` block buffers besides its tables (0 when
  // no area of at most 2^31 - 1 words will do).
  static int64_t words_for(int32_t record_length, int32_t buffers, int32_t nfs, int32_t ndesc);
  // Fewest buffers a pool needs for ndesc matrices with hyperblocks of one block.
  static int32_t min_buffers(int32_t ndesc);

  ControlArea(int64_t words, int32_t record_length, int32_t nfs, int32_t ndesc);
  int32_t *words() { return static_cast<int32_t *>(area_.data()); }
  int64_t length() const { return length_; }
  int64_t bytes() const { return length_ * 4; }
  int32_t record_length() const { return record_length_; }
  // Block buffers of the pool (known once the first file set is open).
  int32_t buffers() const;

 private:
  Pages area_;
  int64_t length_;
  int32_t record_length_;
};

// One file set. The solver's own sets have one physical file; a host's set
// handed over as input may have several.
class TESSERA_SOLVE_API FileSet {
 public:
  // A new set (an existing file of that name is replaced), created with room
  // for initial_words words of records; it grows when it must.
  static FileSet create(ControlArea &area, const std::string &path, int64_t initial_words);
  static FileSet open(ControlArea &area, const std::string &path);
  // A set of several files, named in the order they were created with.
  static FileSet open(ControlArea &area, const std::vector<std::string> &paths);
  FileSet(FileSet &&other) noexcept;
  FileSet &operator=(FileSet &&other) noexcept;
  FileSet(const FileSet &) = delete;
  // An open set is closed without writing anything: what the file held at the
  // last removal stays as it was.
  ~FileSet();

  int32_t handle() const { return handle_; }
  const std::string &path() const { return path_; }
  bool is_open() const { return handle_ != 0; }
  ControlArea &area() const { return *area_; }

  // Writes the set's tables and header and closes it (hmremf).
  void remove();
  // Closes the set and deletes its file (hmkilf).
  void kill();
  // Closes the file without writing anything.
  void abandon() noexcept;
  // Flushes the file (and its directory) to stable storage.
  void sync() const;

 private:
  FileSet(ControlArea &area, std::vector<std::string> paths, int32_t handle);
  ControlArea *area_ = nullptr;
  std::string path_;                // the first file
  std::vector<std::string> paths_;  // all of them
  int32_t handle_ = 0;
};

// An open matrix. Rows and columns are 0-based here; the library's are 1-based.
class TESSERA_SOLVE_API Matrix {
 public:
  static Matrix create(FileSet &set, const std::string &name, int32_t qualifier, int32_t type,
                       int32_t form, int32_t rows, int32_t cols);
  static Matrix open(FileSet &set, const std::string &name, int32_t qualifier, bool readonly);
  // -1 no such matrix, 0 stored and closed, else open.
  static int32_t state(FileSet &set, const std::string &name, int32_t qualifier);

  Matrix() = default;
  Matrix(Matrix &&other) noexcept;
  Matrix &operator=(Matrix &&other) noexcept;
  Matrix(const Matrix &) = delete;

  bool is_open() const { return handle_ != 0; }
  int32_t rows() const { return rows_; }
  int32_t cols() const { return cols_; }
  int32_t type() const { return type_; }
  int32_t form() const { return form_; }
  const std::string &name() const { return name_; }

  // Region (i0.., j0..) of nr x nc elements of the matrix's type, column-major
  // with leading dimension lda.
  void put(int32_t i0, int32_t nr, int32_t j0, int32_t nc, const void *a, int32_t lda);
  void get(int32_t i0, int32_t nr, int32_t j0, int32_t nc, void *a, int32_t lda);
  // Writes back the matrix's blocks, index and header (hmrelm).
  void release();

 private:
  ControlArea *area_ = nullptr;
  FileSet *set_ = nullptr;
  std::string name_;
  int32_t handle_ = 0;
  int32_t rows_ = 0, cols_ = 0, type_ = 0, form_ = 0;
};

// A vector of 32-bit integers kept as a matrix whose blocks it fills, column
// by column (a column vector would leave all but one column of every block
// empty).
void put_ints(FileSet &set, const std::string &name, int32_t qualifier,
              const std::vector<int32_t> &v);
std::vector<int32_t> get_ints(FileSet &set, const std::string &name, int32_t qualifier);

// Bytes free for an unprivileged user in the file system that holds path's
// directory.
int64_t free_disk_bytes(const std::string &path);

}  // namespace tessera::solve
