// The objects behind the Python module: a session (the control area and the
// three linked areas), its open file sets and their open matrices, and the
// one lock that keeps calls into the library from overlapping.
//
// Ownership runs upward: a matrix holds its file set, a file set its session,
// so a session lives while anything of it is reachable from Python. A parent
// keeps only weak references to its open children, to close them when it is
// closed first; a child closed that way is stale and refuses every use.
//
// Every call into the library, and every change or test of an object's open
// state, happens under the library lock with the GIL released (LibraryCall),
// so that a long put or get lets other Python threads run while no second
// call can enter the library. The lock is recursive because closing a parent
// can drop the last reference to a child, whose destructor then takes it
// again on the same thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "tessera.h"

namespace tessera::python {

// A refusal of the library, or of this module where it stands in for the
// library (a stale object, a second session): raised in Python as
// tessera.Error with the status (0 when the refusal is the module's own),
// the routine, the trace codes innermost first and a readable message.
class LibraryError : public std::runtime_error {
 public:
  LibraryError(int32_t status, std::string routine, std::vector<int32_t> trace,
               const std::string &message)
      : std::runtime_error(message), status(status), routine(std::move(routine)),
        trace(std::move(trace)) {}
  int32_t status;
  std::string routine;
  std::vector<int32_t> trace;
};

// A module-level refusal (no library status): stale objects and the like.
[[noreturn]] void refuse(const std::string &routine, const std::string &message);

std::recursive_mutex &library_mutex();

// Set while a solve runs with the library lock held: the solver has linked
// its own areas, so the only calls that can reach the (recursive) lock then
// are the progress callback's, and they are refused.
extern bool g_solving;

// Runs a call into the library with the GIL released and the library lock
// held. The GIL is released only when this thread holds it, so that
// destructors running under the lock (see above) do not try to take it.
[[noreturn]] void refuse_inside_solve();

class LibraryCall {
 public:
  LibraryCall() {
    if (PyGILState_Check()) release_.emplace();
    lock_ = std::unique_lock<std::recursive_mutex>(library_mutex());
    if (g_solving) refuse_inside_solve();
  }

 private:
  std::optional<pybind11::gil_scoped_release> release_;
  std::unique_lock<std::recursive_mutex> lock_;
};

class FileSetCore;
class MatrixCore;

// Sizes a session is made with.
struct SessionShape {
  int64_t bytes = 0;          // the control area
  int32_t record_length = 0;  // words, for the file sets it creates
  int32_t filesets = 1;       // open at once
  int32_t matrices = 1;       // open at once
  bool blas = true;           // DGEMM for products of double blocks
};

// A matrix of a file set's directory as stored in its files.
struct StoredMatrix {
  std::string name;
  int32_t qualifier = 0;
  int32_t type_code = 0;
  int32_t items = 1;
  int32_t form = 0;
  int32_t rows = 0;
  int32_t cols = 0;
};

class SessionCore : public std::enable_shared_from_this<SessionCore> {
 public:
  explicit SessionCore(const SessionShape &shape);
  ~SessionCore();
  SessionCore(const SessionCore &) = delete;
  SessionCore &operator=(const SessionCore &) = delete;

  // Closes every open file set (releasing their matrices, keeping the files)
  // and the control area. Idempotent; raises the first failure after trying
  // everything.
  void close();
  bool is_open() const { return open_; }

  std::shared_ptr<FileSetCore> create_fileset(const std::vector<std::string> &paths,
                                              int64_t initial_bytes);
  std::shared_ptr<FileSetCore> open_fileset(const std::vector<std::string> &paths);

  // Control-area facts, read under the lock.
  int32_t buffers();
  int32_t record_length();
  int64_t control_words() const { return length_; }
  const SessionShape &shape() const { return shape_; }

  // Library-facing parts, for the other cores; call under the lock.
  int32_t *ctrl() { return ctrl_.get(); }
  void require_open(const char *routine) const;
  [[noreturn]] void fail(int32_t status, const std::string &routine,
                         const std::string &context) const;
  void clear_trace() { trace_[0] = 0; }
  std::vector<int32_t> trace() const;
  void forget(FileSetCore *fs);
  void adopt(const std::shared_ptr<FileSetCore> &fs) { filesets_.emplace_back(fs.get(), fs); }

 private:
  void close_locked(std::optional<LibraryError> &first);
  void release_areas();

  SessionShape shape_;
  struct Free {
    void operator()(int32_t *p) const;
  };
  std::unique_ptr<int32_t[], Free> ctrl_;
  int32_t length_ = 0;
  int32_t trace_[TESSERA_TRACE_WORDS] = {};
  int32_t cache_[TESSERA_CACHE_WORDS] = {};
  int32_t chosky_[TESSERA_CHOSKY_WORDS] = {};
  char *saved_[3] = {nullptr, nullptr, nullptr};
  bool open_ = false;
  // Open file sets, by address and weakly: forgetting one must not lock it,
  // since that could make this function drop its last reference.
  std::vector<std::pair<FileSetCore *, std::weak_ptr<FileSetCore>>> filesets_;
};

class FileSetCore : public std::enable_shared_from_this<FileSetCore> {
 public:
  FileSetCore(std::shared_ptr<SessionCore> session, int32_t handle,
              std::vector<std::string> paths);
  ~FileSetCore();

  // remove: release the open matrices, write the set's tables and keep the
  // files. kill: release them and delete the files. Both idempotent.
  void remove();
  void kill();
  bool is_open() const { return handle_ != 0; }
  const std::vector<std::string> &paths() const { return paths_; }
  // The directory the set's files held when this session opened it; none
  // for a set it created, or when the library's read-only view of stored
  // sets is not built.
  const std::optional<std::vector<StoredMatrix>> &stored() const { return stored_; }
  void set_stored(std::optional<std::vector<StoredMatrix>> stored) { stored_ = std::move(stored); }

  std::shared_ptr<MatrixCore> create_matrix(const std::string &name, int32_t qualifier,
                                            int32_t type_code, int32_t form, int32_t band,
                                            int32_t rows, int32_t cols);
  std::shared_ptr<MatrixCore> open_matrix(const std::string &name, int32_t qualifier,
                                          bool readonly);
  // -1 no such matrix, 0 closed, 1 open.
  int32_t inquire(const std::string &name, int32_t qualifier);
  void kill_matrix(const std::string &name, int32_t qualifier);

  // Closes the set for the length of a hand-over of its files (the solver
  // opens them itself) and opens it again afterwards, with the matrices
  // that were open opened again into the same objects. Under the lock.
  class Suspended {
   public:
    explicit Suspended(FileSetCore &fs);
    ~Suspended();
    Suspended(const Suspended &) = delete;
    Suspended &operator=(const Suspended &) = delete;

   private:
    FileSetCore &fs_;
    std::vector<std::shared_ptr<MatrixCore>> open_;
  };

  // Library-facing parts; call under the lock.
  SessionCore &session() { return *session_; }
  int32_t handle() const { return handle_; }
  void require_open(const char *routine) const;
  void forget(MatrixCore *m);
  std::shared_ptr<MatrixCore> find_open(const std::string &name, int32_t qualifier);
  // Closes the matrices and the set; first failure kept in `first`.
  void close_locked(bool delete_files, std::optional<LibraryError> &first);

 private:
  std::shared_ptr<SessionCore> session_;
  int32_t handle_;
  std::vector<std::string> paths_;
  std::vector<std::pair<MatrixCore *, std::weak_ptr<MatrixCore>>> matrices_;
  std::optional<std::vector<StoredMatrix>> stored_;
};

// What describes an open matrix; fixed while it is open.
struct MatrixShape {
  std::string name;
  int32_t qualifier = 0;
  int32_t type_code = 0;
  int32_t items = 1;
  int32_t form = 0;
  int32_t band = -1;  // -1: no band narrower than the matrix
  int32_t rows = 0;
  int32_t cols = 0;
  bool readonly = false;
};

class MatrixCore {
 public:
  MatrixCore(std::shared_ptr<FileSetCore> fileset, int32_t handle, MatrixShape shape);
  ~MatrixCore();

  void release();
  void kill();
  bool is_open() const { return handle_ != 0; }
  const MatrixShape &shape() const { return shape_; }
  FileSetCore &fileset() { return *fileset_; }

  // Descriptor words, read under the lock.
  int32_t stored_blocks();
  int32_t block_order();
  int32_t hyperblock_order();

  // Region transfer. Rows and columns 0-based; `a` column-major with leading
  // dimension lda, in elements of the matrix's type. Call under the lock.
  void put_locked(int32_t i0, int32_t nr, int32_t j0, int32_t nc, const void *a, int32_t lda);
  void get_locked(int32_t i0, int32_t nr, int32_t j0, int32_t nc, void *a, int32_t lda);

  // Library-facing parts; call under the lock.
  int32_t &handle() { return handle_; }
  void require_open(const char *routine) const;
  int32_t descriptor_word(int32_t word) const;
  std::string describe() const;
  void close_locked(std::optional<LibraryError> &first);
  // Opens the matrix again after its set was suspended; handle 0 (stale)
  // when that fails.
  void reopen_locked();

 private:
  std::shared_ptr<FileSetCore> fileset_;
  int32_t handle_;
  MatrixShape shape_;
};

// The 12 bytes of a matrix name, blank-padded, as three words. Refuses names
// longer than 12 bytes or empty.
void pack_name(const std::string &name, int32_t words[3]);

// The module's algebra: each matrix must be open in the same session.
void add(MatrixCore &a, MatrixCore &b, bool subtract);
void copy(MatrixCore &a, MatrixCore &b, int32_t mode);
void multiply(MatrixCore &a, MatrixCore &b, MatrixCore &y, bool ta, bool tb, bool upper,
              bool subtract);

// Number of live sessions (0 or 1), for the tests of refusal.
bool session_live();

}  // namespace tessera::python
