// Life cycle of sessions, file sets and matrices: what the library is asked,
// in which order, and how each object learns that it has become stale.
#include "core.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "descriptor_words.h"
#include "tessera_sizing.h"
#include "tessera_status.h"

// The library's read-only view of a stored set lists its directory.
#if __has_include("tessera_check.h")
#include "tessera_check.h"
#define TESSERA_PYTHON_HAS_VIEW 1
#endif

namespace tessera::python {

namespace {

// The linked areas are process-wide, so one session at a time may own them.
SessionCore *g_live_session = nullptr;

std::string trace_text(const std::vector<int32_t> &trace) {
  std::string s;
  for (int32_t code : trace) s += (s.empty() ? "" : " ") + std::to_string(code);
  return s;
}

std::string canonical(const std::string &path) {
  std::error_code ec;
  auto p = std::filesystem::weakly_canonical(std::filesystem::absolute(path), ec);
  return ec ? path : p.string();
}

// NUL-terminated copies of the paths for the routines' char ** arguments.
struct PathArgs {
  explicit PathArgs(const std::vector<std::string> &paths) : copies(paths) {
    for (auto &p : copies) pointers.push_back(p.data());
  }
  std::vector<std::string> copies;
  std::vector<char *> pointers;
};

void keep_first(std::optional<LibraryError> &first, const LibraryError &e) {
  if (!first) first = e;
}

// The directory of a set at rest, read through the library's view (which
// links areas of its own for each call and gives the host's back). None
// when the view is not built or refuses the files: opening them decides.
std::optional<std::vector<StoredMatrix>> stored_directory(const std::vector<std::string> &paths) {
#ifdef TESSERA_PYTHON_HAS_VIEW
  std::vector<const char *> files;
  for (const auto &p : paths) files.push_back(p.c_str());
  tessera_view *view = nullptr;
  if (tessera_view_open(static_cast<int32_t>(files.size()), files.data(), &view, nullptr, 0) !=
      TESSERA_VIEW_OK) {
    return std::nullopt;
  }
  std::vector<StoredMatrix> out;
  const int32_t count = tessera_view_matrix_count(view);
  for (int32_t i = 0; i < count; ++i) {
    tessera_matrix_info info{};
    if (tessera_view_matrix(view, i, &info) != TESSERA_VIEW_OK) continue;
    std::string name(reinterpret_cast<const char *>(info.name), sizeof info.name);
    name.erase(name.find_last_not_of(' ') + 1);
    out.push_back(StoredMatrix{name, info.qualifier, info.type, info.items, info.form, info.rows,
                               info.columns});
  }
  tessera_view_close(view);
  return out;
#else
  (void)paths;
  return std::nullopt;
#endif
}

}  // namespace

bool g_solving = false;

void refuse_inside_solve() {
  refuse("solve", "the library cannot be called from a solve's progress callback: the solver "
                  "is using it");
}

std::recursive_mutex &library_mutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

void refuse(const std::string &routine, const std::string &message) {
  throw LibraryError(0, routine, {}, message);
}

bool session_live() {
  LibraryCall call;
  return g_live_session != nullptr;
}

void pack_name(const std::string &name, int32_t words[3]) {
  if (name.empty() || name.size() > TESSERA_NAME_BYTES) {
    refuse("name", "a matrix name has 1 to " + std::to_string(TESSERA_NAME_BYTES) +
                       " bytes; '" + name + "' has " + std::to_string(name.size()));
  }
  char bytes[TESSERA_NAME_BYTES];
  std::memset(bytes, ' ', sizeof bytes);
  std::memcpy(bytes, name.data(), name.size());
  std::memcpy(words, bytes, sizeof bytes);
}

// --- session -----------------------------------------------------------------

void SessionCore::Free::operator()(int32_t *p) const { std::free(p); }

SessionCore::SessionCore(const SessionShape &shape) : shape_(shape) {
  LibraryCall call;
  if (g_live_session != nullptr) {
    refuse("Session",
           "another session is live: the library's linked areas are process-wide, so one "
           "session at a time may use them (close the other first, or use a with block)");
  }
  const int32_t least = tessera_control_length(shape.record_length, shape.filesets,
                                               shape.matrices, 0);
  const int64_t words = shape.bytes / static_cast<int64_t>(sizeof(int32_t));
  if (least == 0) refuse("Session", "no control area of at most 2^31 - 1 words fits these sizes");
  if (words < least) {
    refuse("Session", "memory of " + std::to_string(shape.bytes) + " bytes is too small: " +
                          std::to_string(static_cast<int64_t>(least) * 4) +
                          " bytes at least for records of " +
                          std::to_string(shape.record_length) + " words, " +
                          std::to_string(shape.filesets) + " file sets and " +
                          std::to_string(shape.matrices) + " matrices");
  }
  if (words > INT32_MAX) refuse("Session", "a control area has at most 2^31 - 1 words (8 GiB)");
  length_ = static_cast<int32_t>(words);
  // calloc: the pages of the buffer pool are touched only when used.
  ctrl_.reset(static_cast<int32_t *>(std::calloc(static_cast<size_t>(length_), sizeof(int32_t))));
  if (!ctrl_) refuse("Session", "cannot allocate " + std::to_string(shape.bytes) + " bytes");

  saved_[0] = Xerror;
  saved_[1] = Xcache;
  saved_[2] = Xchosky;
  Xerror = reinterpret_cast<char *>(trace_);
  Xcache = reinterpret_cast<char *>(cache_);
  Xchosky = reinterpret_cast<char *>(chosky_);
  g_live_session = this;
  open_ = true;

  int32_t nfs = shape.filesets, ndesc = shape.matrices, option = 0, ierr = 0;
  hminmf(ctrl_.get(), &length_, &nfs, &ndesc, &option, &ierr);
  if (ierr != 0) {
    const auto codes = trace();
    open_ = false;
    release_areas();
    throw LibraryError(ierr, "hminmf", codes,
                       std::string("hminmf: ") + tessera_status_text(ierr));
  }
  TESSERA_CTRL(ctrl_.get(), TESSERA_CTRL_RECORD_LENGTH) = shape.record_length;
  TESSERA_CTRL(ctrl_.get(), TESSERA_CTRL_BLAS) = shape.blas ? TESSERA_BLAS_ON : TESSERA_BLAS_OFF;
}

SessionCore::~SessionCore() {
  try {
    close();
  } catch (const LibraryError &) {
    // Nothing to raise to from a destructor; close() has done what it could.
  }
}

void SessionCore::release_areas() {
  if (g_live_session != this) return;
  Xerror = saved_[0];
  Xcache = saved_[1];
  Xchosky = saved_[2];
  g_live_session = nullptr;
}

void SessionCore::close() {
  std::optional<LibraryError> first;
  {
    LibraryCall call;
    close_locked(first);
  }
  if (first) throw *first;
}

void SessionCore::close_locked(std::optional<LibraryError> &first) {
  if (!open_) return;
  // Children first: their closing needs the control area and the areas.
  auto sets = filesets_;
  for (auto &entry : sets) {
    if (auto fs = entry.second.lock()) fs->close_locked(false, first);
  }
  filesets_.clear();
  clear_trace();
  int32_t ierr = TESSERA_CLOSE_CHECK;
  hmclos(ctrl_.get(), &ierr);
  if (ierr != 0) {
    try {
      fail(ierr, "hmclos", "");
    } catch (const LibraryError &e) {
      keep_first(first, e);
    }
  }
  open_ = false;
  release_areas();
  ctrl_.reset();
}

void SessionCore::require_open(const char *routine) const {
  if (!open_) refuse(routine, "the session is closed");
}

std::vector<int32_t> SessionCore::trace() const {
  std::vector<int32_t> codes;
  const int32_t n = std::clamp(trace_[0], 0, static_cast<int32_t>(TESSERA_TRACE_CODES));
  for (int32_t i = 1; i <= n; ++i) codes.push_back(trace_[i]);
  return codes;
}

void SessionCore::fail(int32_t status, const std::string &routine,
                       const std::string &context) const {
  const auto codes = trace();
  std::string message = routine + ": " + tessera_status_text(status) + " (status " +
                        std::to_string(status);
  if (!codes.empty()) message += "; trace " + trace_text(codes);
  message += ")";
  if (!context.empty()) message += " [" + context + "]";
  throw LibraryError(status, routine, codes, message);
}

void SessionCore::forget(FileSetCore *fs) {
  std::erase_if(filesets_, [&](const auto &entry) {
    return entry.first == fs || entry.second.expired();
  });
}

int32_t SessionCore::buffers() {
  LibraryCall call;
  require_open("buffers");
  return TESSERA_CTRL(ctrl_.get(), TESSERA_CTRL_BUFFERS);
}

int32_t SessionCore::record_length() {
  LibraryCall call;
  require_open("record_length");
  for (auto &entry : filesets_) {
    if (auto fs = entry.second.lock(); fs && fs->is_open()) {
      return words::read(ctrl_.get(), fs->handle(), words::kFileSetRecordLength);
    }
  }
  return TESSERA_CTRL(ctrl_.get(), TESSERA_CTRL_RECORD_LENGTH);
}

std::shared_ptr<FileSetCore> SessionCore::create_fileset(const std::vector<std::string> &paths,
                                                         int64_t initial_bytes) {
  std::shared_ptr<FileSetCore> fs;
  {
    LibraryCall call;
    require_open("create");
    for (auto &entry : filesets_) {
      auto other = entry.second.lock();
      if (!other) continue;
      for (const auto &p : other->paths())
        for (const auto &q : paths)
          if (canonical(p) == canonical(q))
            refuse("create", "'" + q + "' belongs to a file set open in this session");
    }
    // Every set of a control area has the record length of the first: when
    // a set is open already, new ones take its length.
    int32_t length = shape_.record_length;
    for (auto &entry : filesets_) {
      if (auto other = entry.second.lock(); other && other->is_open()) {
        length = words::read(ctrl_.get(), other->handle(), words::kFileSetRecordLength);
        break;
      }
    }
    TESSERA_CTRL(ctrl_.get(), TESSERA_CTRL_RECORD_LENGTH) = length;
    // A set must hold its index region and a data record from the start;
    // with long records the library's default size is too small.
    int64_t initial = initial_bytes / 4;
    initial = std::max<int64_t>(initial, tessera_fileset_min_words(length, length_, 0));
    int32_t initial_words = static_cast<int32_t>(std::min<int64_t>(initial, INT32_MAX));
    PathArgs args(paths);
    int32_t nfiles = static_cast<int32_t>(paths.size()), index_records = 0, handle = 0,
            ierr = 0;
    clear_trace();
    hmnewf(ctrl_.get(), &nfiles, args.pointers.data(), &index_records, &initial_words, &handle,
           &ierr);
    if (ierr != 0) fail(ierr, "hmnewf", paths.empty() ? "" : paths.front());
    fs = std::make_shared<FileSetCore>(shared_from_this(), handle, paths);
    filesets_.emplace_back(fs.get(), fs);
  }
  return fs;
}

std::shared_ptr<FileSetCore> SessionCore::open_fileset(const std::vector<std::string> &paths) {
  std::shared_ptr<FileSetCore> fs;
  {
    LibraryCall call;
    require_open("open");
    for (auto &entry : filesets_) {
      auto other = entry.second.lock();
      if (!other) continue;
      for (const auto &p : other->paths())
        for (const auto &q : paths)
          if (canonical(p) == canonical(q))
            refuse("open", "'" + q + "' belongs to a file set open in this session");
    }
    auto stored = stored_directory(paths);
    PathArgs args(paths);
    int32_t nfiles = static_cast<int32_t>(paths.size()), handle = 0, ierr = 0;
    clear_trace();
    hmoldf(ctrl_.get(), &nfiles, args.pointers.data(), &handle, &ierr);
    if (ierr != 0) fail(ierr, "hmoldf", paths.empty() ? "" : paths.front());
    fs = std::make_shared<FileSetCore>(shared_from_this(), handle, paths);
    fs->set_stored(std::move(stored));
    filesets_.emplace_back(fs.get(), fs);
  }
  return fs;
}

// --- file set ----------------------------------------------------------------

FileSetCore::FileSetCore(std::shared_ptr<SessionCore> session, int32_t handle,
                         std::vector<std::string> paths)
    : session_(std::move(session)), handle_(handle), paths_(std::move(paths)) {}

FileSetCore::~FileSetCore() {
  std::optional<LibraryError> first;
  LibraryCall call;
  close_locked(false, first);
}

void FileSetCore::require_open(const char *routine) const {
  session_->require_open(routine);
  if (handle_ == 0) refuse(routine, "the file set " + paths_.front() + " is closed");
}

void FileSetCore::close_locked(bool delete_files, std::optional<LibraryError> &first) {
  if (handle_ == 0 || !session_->is_open()) {
    handle_ = 0;
    return;
  }
  auto open = matrices_;
  for (auto &entry : open) {
    if (auto m = entry.second.lock()) m->close_locked(first);
  }
  matrices_.clear();
  int32_t ierr = 0;
  session_->clear_trace();
  if (delete_files) {
    hmkilf(session_->ctrl(), &handle_, &ierr);
  } else {
    hmremf(session_->ctrl(), &handle_, &ierr);
  }
  if (ierr != 0) {
    try {
      session_->fail(ierr, delete_files ? "hmkilf" : "hmremf", paths_.front());
    } catch (const LibraryError &e) {
      keep_first(first, e);
    }
    // A set the library would not let go of stays open: the control area
    // still holds it and hmclos will report it.
    return;
  }
  handle_ = 0;
  session_->forget(this);
}

void FileSetCore::remove() {
  std::optional<LibraryError> first;
  {
    LibraryCall call;
    close_locked(false, first);
  }
  if (first) throw *first;
}

void FileSetCore::kill() {
  std::optional<LibraryError> first;
  {
    LibraryCall call;
    session_->require_open("kill");
    close_locked(true, first);
  }
  if (first) throw *first;
}

void FileSetCore::forget(MatrixCore *m) {
  std::erase_if(matrices_, [&](const auto &entry) {
    return entry.first == m || entry.second.expired();
  });
}

std::shared_ptr<MatrixCore> FileSetCore::find_open(const std::string &name, int32_t qualifier) {
  for (auto &entry : matrices_) {
    auto m = entry.second.lock();
    if (m && m->is_open() && m->shape().name == name && m->shape().qualifier == qualifier)
      return m;
  }
  return nullptr;
}

std::shared_ptr<MatrixCore> FileSetCore::create_matrix(const std::string &name,
                                                       int32_t qualifier, int32_t type_code,
                                                       int32_t form, int32_t band, int32_t rows,
                                                       int32_t cols) {
  int32_t key[3];
  pack_name(name, key);
  std::shared_ptr<MatrixCore> m;
  {
    LibraryCall call;
    require_open("create_matrix");
    int32_t type = tessera_type_word(type_code, 1);
    int32_t storage = band >= 0 ? tessera_storage_band(form, band) : tessera_storage_word(form);
    int32_t handle = 0, ierr = 0, q = qualifier, fs = handle_, m_rows = rows, m_cols = cols;
    session_->clear_trace();
    hmnewm(session_->ctrl(), key, &q, &fs, &type, &storage, &m_rows, &m_cols, &handle, &ierr);
    if (ierr != 0) session_->fail(ierr, "hmnewm", "matrix '" + name + "'");
    MatrixShape shape{name, qualifier, type_code, 1, form, band, rows, cols, false};
    m = std::make_shared<MatrixCore>(shared_from_this(), handle, shape);
    matrices_.emplace_back(m.get(), m);
  }
  return m;
}

std::shared_ptr<MatrixCore> FileSetCore::open_matrix(const std::string &name, int32_t qualifier,
                                                     bool readonly) {
  int32_t key[3];
  pack_name(name, key);
  std::shared_ptr<MatrixCore> m;
  {
    LibraryCall call;
    require_open("open_matrix");
    if (auto open = find_open(name, qualifier)) {
      if (open->shape().readonly == readonly) return open;
      refuse("open_matrix", "matrix '" + name + "' is open already " +
                                (open->shape().readonly ? "read-only" : "for writing") +
                                "; release it first");
    }
    int32_t q = qualifier, fs = handle_, ro = readonly ? TESSERA_READ_ONLY : TESSERA_READ_WRITE;
    int32_t type = 0, storage = 0, rows = 0, cols = 0, handle = 0, ierr = 0;
    session_->clear_trace();
    hmoldm(session_->ctrl(), key, &q, &fs, &ro, &type, &storage, &rows, &cols, &handle, &ierr);
    if (ierr != 0) session_->fail(ierr, "hmoldm", "matrix '" + name + "'");
    MatrixShape shape;
    shape.name = name;
    shape.qualifier = qualifier;
    shape.type_code = tessera_type_code(type);
    shape.items = tessera_type_items(type);
    shape.form = tessera_storage_form(storage);
    // The width comes back with the band flag always set: min(m-1, n-1)
    // for a matrix created without a band.
    const int32_t width = tessera_storage_band_width(storage);
    shape.band = width < std::min(rows - 1, cols - 1) ? width : -1;
    shape.rows = rows;
    shape.cols = cols;
    shape.readonly = readonly;
    m = std::make_shared<MatrixCore>(shared_from_this(), handle, shape);
    matrices_.emplace_back(m.get(), m);
  }
  return m;
}

int32_t FileSetCore::inquire(const std::string &name, int32_t qualifier) {
  int32_t key[3];
  pack_name(name, key);
  LibraryCall call;
  require_open("inquire");
  int32_t q = qualifier, fs = handle_, state = 0;
  hminqm(session_->ctrl(), key, &q, &fs, &state);
  return state < 0 ? -1 : (state == TESSERA_MATRIX_CLOSED ? 0 : 1);
}

void FileSetCore::kill_matrix(const std::string &name, int32_t qualifier) {
  int32_t key[3];
  pack_name(name, key);
  LibraryCall call;
  require_open("kill_matrix");
  auto open = find_open(name, qualifier);
  int32_t q = qualifier, fs = handle_, ierr = 0;
  session_->clear_trace();
  hmkilm(session_->ctrl(), key, &q, &fs, &ierr);
  if (ierr != 0) session_->fail(ierr, "hmkilm", "matrix '" + name + "'");
  if (open) {
    open->handle() = 0;
    forget(open.get());
  }
}

FileSetCore::Suspended::Suspended(FileSetCore &fs) : fs_(fs) {
  fs.require_open("solve");
  for (auto &entry : fs.matrices_) {
    if (auto m = entry.second.lock(); m && m->is_open()) open_.push_back(m);
  }
  std::optional<LibraryError> first;
  fs.close_locked(false, first);
  if (first) throw *first;
  // The matrices were forgotten by the removal; they come back on resume.
  for (auto &m : open_) m->handle() = 0;
}

FileSetCore::Suspended::~Suspended() {
  PathArgs args(fs_.paths_);
  int32_t nfiles = static_cast<int32_t>(fs_.paths_.size()), handle = 0, ierr = 0;
  fs_.session_->clear_trace();
  hmoldf(fs_.session_->ctrl(), &nfiles, args.pointers.data(), &handle, &ierr);
  if (ierr != 0) return;  // the set and its matrices stay closed (stale)
  fs_.handle_ = handle;
  fs_.session_->adopt(fs_.shared_from_this());
  for (auto &m : open_) {
    m->reopen_locked();
    if (m->is_open()) fs_.matrices_.emplace_back(m.get(), m);
  }
}

// --- matrix ------------------------------------------------------------------

MatrixCore::MatrixCore(std::shared_ptr<FileSetCore> fileset, int32_t handle, MatrixShape shape)
    : fileset_(std::move(fileset)), handle_(handle), shape_(std::move(shape)) {}

MatrixCore::~MatrixCore() {
  std::optional<LibraryError> first;
  LibraryCall call;
  close_locked(first);
}

std::string MatrixCore::describe() const { return "matrix '" + shape_.name + "'"; }

void MatrixCore::require_open(const char *routine) const {
  fileset_->session().require_open(routine);
  if (handle_ == 0) refuse(routine, describe() + " is closed (released, killed, or its file set "
                                    "or session closed)");
}

void MatrixCore::close_locked(std::optional<LibraryError> &first) {
  if (handle_ == 0 || !fileset_->is_open() || !fileset_->session().is_open()) {
    handle_ = 0;
    return;
  }
  int32_t ierr = 0;
  fileset_->session().clear_trace();
  hmrelm(fileset_->session().ctrl(), &handle_, &ierr);
  if (ierr != 0) {
    try {
      fileset_->session().fail(ierr, "hmrelm", describe());
    } catch (const LibraryError &e) {
      keep_first(first, e);
    }
    // The library keeps the handle valid after a failed release; the set's
    // removal will report the matrix still open.
    return;
  }
  handle_ = 0;
  fileset_->forget(this);
}

void MatrixCore::release() {
  std::optional<LibraryError> first;
  {
    LibraryCall call;
    close_locked(first);
  }
  if (first) throw *first;
}

void MatrixCore::kill() {
  LibraryCall call;
  require_open("kill");
  int32_t key[3];
  pack_name(shape_.name, key);
  int32_t q = shape_.qualifier, fs = fileset_->handle(), ierr = 0;
  fileset_->session().clear_trace();
  hmkilm(fileset_->session().ctrl(), key, &q, &fs, &ierr);
  if (ierr != 0) fileset_->session().fail(ierr, "hmkilm", describe());
  handle_ = 0;
  fileset_->forget(this);
}

void MatrixCore::reopen_locked() {
  int32_t key[3];
  pack_name(shape_.name, key);
  int32_t q = shape_.qualifier, fs = fileset_->handle(),
          ro = shape_.readonly ? TESSERA_READ_ONLY : TESSERA_READ_WRITE;
  int32_t type = 0, storage = 0, rows = 0, cols = 0, handle = 0, ierr = 0;
  fileset_->session().clear_trace();
  hmoldm(fileset_->session().ctrl(), key, &q, &fs, &ro, &type, &storage, &rows, &cols, &handle,
         &ierr);
  handle_ = ierr == 0 ? handle : 0;
}

int32_t MatrixCore::descriptor_word(int32_t word) const {
  return words::read(fileset_->session().ctrl(), handle_, word);
}

int32_t MatrixCore::stored_blocks() {
  LibraryCall call;
  require_open("stored_blocks");
  return descriptor_word(words::kIndexEntries);
}

int32_t MatrixCore::block_order() {
  LibraryCall call;
  require_open("block_order");
  return descriptor_word(words::kBlockOrder);
}

int32_t MatrixCore::hyperblock_order() {
  LibraryCall call;
  require_open("hyperblock_order");
  return descriptor_word(words::kHyperblockOrder);
}

void MatrixCore::put_locked(int32_t i0, int32_t nr, int32_t j0, int32_t nc, const void *a,
                            int32_t lda) {
  int32_t i1 = i0 + 1, j1 = j0 + 1, ierr = 0, ld = lda;
  fileset_->session().clear_trace();
  hmputs(fileset_->session().ctrl(), &handle_, &i1, &nr, &j1, &nc, static_cast<const float *>(a),
         &ld, &ierr);
  if (ierr != 0) fileset_->session().fail(ierr, "hmputs", describe());
}

void MatrixCore::get_locked(int32_t i0, int32_t nr, int32_t j0, int32_t nc, void *a,
                            int32_t lda) {
  int32_t i1 = i0 + 1, j1 = j0 + 1, ierr = 0, ld = lda;
  fileset_->session().clear_trace();
  hmgets(fileset_->session().ctrl(), &handle_, &i1, &nr, &j1, &nc, static_cast<float *>(a), &ld,
         &ierr);
  if (ierr != 0) fileset_->session().fail(ierr, "hmgets", describe());
}

// --- algebra -----------------------------------------------------------------

namespace {

void require_same_session(const char *routine, std::initializer_list<MatrixCore *> ms) {
  SessionCore *s = nullptr;
  for (MatrixCore *m : ms) {
    m->require_open(routine);
    if (s == nullptr) s = &m->fileset().session();
    if (&m->fileset().session() != s) refuse(routine, "the matrices belong to different sessions");
  }
}

}  // namespace

void add(MatrixCore &a, MatrixCore &b, bool subtract) {
  LibraryCall call;
  require_same_session("add", {&a, &b});
  SessionCore &s = a.fileset().session();
  int32_t op = subtract ? TESSERA_SUBTRACT : TESSERA_ADD, ierr = 0;
  s.clear_trace();
  // A - A empties A: the library deletes and creates it again, and writes
  // the new handle through both arguments (which are then one variable).
  int32_t &ha = a.handle();
  int32_t &hb = &a == &b ? ha : b.handle();
  hladd(s.ctrl(), &ha, &hb, &op, &ierr);
  if (ierr != 0) s.fail(ierr, "hladd", a.describe() + " and " + b.describe());
}

void copy(MatrixCore &a, MatrixCore &b, int32_t mode) {
  LibraryCall call;
  require_same_session("copy", {&a, &b});
  SessionCore &s = a.fileset().session();
  int32_t m = mode, ierr = 0;
  s.clear_trace();
  hlcopm(s.ctrl(), &a.handle(), &b.handle(), &m, &ierr);
  if (ierr != 0) s.fail(ierr, "hlcopm", a.describe() + " into " + b.describe());
}

void multiply(MatrixCore &a, MatrixCore &b, MatrixCore &y, bool ta, bool tb, bool upper,
              bool subtract) {
  LibraryCall call;
  require_same_session("multiply", {&a, &b, &y});
  if (&y == &a || &y == &b) {
    throw pybind11::value_error(
        "the result must be a matrix other than A and B: its blocks would be read as operands "
        "while the product is accumulated into them");
  }
  // The product walks all three matrices with A's blocking; matrices made
  // under buffer pools of other sizes have other hyperblock orders. (Other
  // element types are left to the library's refusal.)
  const int32_t b1 = a.descriptor_word(words::kHyperblockOrder);
  const int32_t nb = a.descriptor_word(words::kBlockOrder);
  for (MatrixCore *m : {&b, &y}) {
    if (m->shape().type_code != a.shape().type_code) continue;
    if (m->descriptor_word(words::kHyperblockOrder) != b1 ||
        m->descriptor_word(words::kBlockOrder) != nb) {
      throw pybind11::value_error(
             "the matrices have different blockings (" + a.describe() + ": blocks of " +
                 std::to_string(nb) + ", hyperblocks of " + std::to_string(b1) + "; " +
                 m->describe() + ": " + std::to_string(m->descriptor_word(words::kBlockOrder)) +
                 ", " + std::to_string(m->descriptor_word(words::kHyperblockOrder)) +
                 "): copy one into a matrix created in this session");
    }
  }
  SessionCore &s = a.fileset().session();
  int32_t fa = ta ? TESSERA_TRANSPOSE : TESSERA_NO_TRANSPOSE;
  int32_t fb = tb ? TESSERA_TRANSPOSE : TESSERA_NO_TRANSPOSE;
  int32_t up = upper ? TESSERA_UPPER_BLOCKS : TESSERA_ALL_BLOCKS;
  int32_t sub = subtract ? TESSERA_SUBTRACT : TESSERA_ADD, ierr = 0;
  s.clear_trace();
  hlmult(s.ctrl(), &a.handle(), &b.handle(), &y.handle(), &fa, &fb, &up, &sub, &ierr);
  if (ierr != 0) s.fail(ierr, "hlmult", y.describe() + " from " + a.describe() + ", " + b.describe());
}

}  // namespace tessera::python
