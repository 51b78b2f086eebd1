// The solver's hold on libtessera (store.h).
#include "store.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "recstore.h"
#include "tessera.h"
#include "tessera_sizing.h"
#include "tessera_status.h"

namespace tessera::solve {
namespace {

// Words of a file-set area the solver reads to close a set's files without
// writing (1-based, as the library counts them from the file-set handle).
constexpr int32_t kFileSetFileCount = 114;
constexpr int32_t kFileSetFirstHandle = 102;
constexpr int32_t kFileSetLaterHandle = 155;  // file i >= 2: this + 41 (i - 2)
constexpr int32_t kFileSetNameStride = 41;
// The record-file service's close: one file, kept.
int32_t kCloseOne = 1;
int32_t kKeepFile = 1;

std::string describe(const char *routine, int32_t status, const std::vector<int32_t> &trace) {
  std::string s = std::string(routine) + " refused with status " + std::to_string(status) + " (" +
                  tessera_status_text(status) + ")";
  if (!trace.empty()) {
    s += ", trace";
    for (int32_t c : trace) s += " " + std::to_string(c);
  }
  return s;
}

std::vector<int32_t> current_trace() {
  std::vector<int32_t> t;
  const auto *area = reinterpret_cast<const int32_t *>(Xerror);
  if (area == nullptr) return t;
  for (int32_t i = 1; i <= area[0] && i < TESSERA_TRACE_WORDS; ++i) t.push_back(area[i]);
  return t;
}

// A matrix name as the library keeps it: 12 bytes, blank-padded.
void pack_name(const std::string &name, int32_t out[3]) {
  char bytes[12];
  std::memset(bytes, ' ', sizeof bytes);
  std::memcpy(bytes, name.data(), std::min<size_t>(name.size(), sizeof bytes));
  std::memcpy(out, bytes, sizeof bytes);
}

void fsync_path(const std::string &path, bool directory) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (directory ? O_DIRECTORY : 0));
  if (fd < 0) throw std::runtime_error("cannot open " + path + " to flush it: " + std::strerror(errno));
  const int rc = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  if (rc != 0) throw std::runtime_error("flushing " + path + " failed: " + std::strerror(err));
}

}  // namespace

LibraryError::LibraryError(const std::string &what, std::string routine, int32_t status,
                           std::vector<int32_t> trace)
    : std::runtime_error(what), routine_(std::move(routine)), status_(status),
      trace_(std::move(trace)) {}

void check(int32_t ierr, const char *routine, const std::string &what) {
  if (ierr == 0) return;
  std::vector<int32_t> trace = current_trace();
  std::string msg = what.empty() ? describe(routine, ierr, trace)
                                 : what + ": " + describe(routine, ierr, trace);
  throw LibraryError(msg, routine, ierr, std::move(trace));
}

// --- host areas -------------------------------------------------------------

HostAreas::HostAreas() : saved_{Xerror, Xcache, Xchosky} {
  Xerror = reinterpret_cast<char *>(trace_);
  Xcache = reinterpret_cast<char *>(cache_);
  Xchosky = reinterpret_cast<char *>(chosky_);
}

HostAreas::~HostAreas() {
  Xerror = saved_[0];
  Xcache = saved_[1];
  Xchosky = saved_[2];
}

std::vector<int32_t> HostAreas::trace() const {
  std::vector<int32_t> t;
  for (int32_t i = 1; i <= trace_[0] && i < TESSERA_TRACE_WORDS; ++i) t.push_back(trace_[i]);
  return t;
}

void HostAreas::start_pivot_recording() {
  using namespace host_words;
  for (const PivotList &l : {kSmallest, kLargest, kRatios}) {
    // The host chains each list's entries as free (through each entry's first
  // link word) before it switches recording on.
    for (int e = 1; e <= kListEntries; ++e) {
      chosky_[l.links + 2 * (e - 1)] = e < kListEntries ? e + 1 : 0;
      chosky_[l.links + 2 * (e - 1) + 1] = 0;
    }
    chosky_[l.header + kFreeHead] = 1;
    chosky_[l.header + kFreeCount] = kListEntries;
    chosky_[l.header + kCount] = 0;
    chosky_[l.header + kSmallEnd] = 0;
    chosky_[l.header + kLargeEnd] = 0;
  }
  chosky_[TESSERA_CHOSKY_PIVOTS] = 0;
  chosky_[TESSERA_CHOSKY_RECORDING] = 1;
}

int64_t HostAreas::tiny_pivot_count() const { return chosky_[TESSERA_CHOSKY_PIVOTS]; }

std::vector<TinyPivot> HostAreas::tiny_pivots() const {
  using namespace host_words;
  std::vector<TinyPivot> out;
  double values[kListEntries];
  for (const PivotList &l : {kSmallest, kLargest}) {
    std::memcpy(values, reinterpret_cast<const char *>(chosky_) + 8 * l.values, sizeof values);
    // Walk from the smallest end toward the largest through the first links.
    int e = chosky_[l.header + kSmallEnd];
    for (int steps = 0; e >= 1 && e <= kListEntries && steps < kListEntries; ++steps) {
      const TinyPivot p{chosky_[l.columns + e - 1], values[e - 1]};
      if (std::none_of(out.begin(), out.end(),
                       [&](const TinyPivot &q) { return q.column == p.column; }))
        out.push_back(p);
      e = chosky_[l.links + 2 * (e - 1)];
    }
  }
  std::sort(out.begin(), out.end(),
            [](const TinyPivot &a, const TinyPivot &b) { return a.value < b.value; });
  return out;
}

std::vector<int32_t> HostAreas::pivot_area() const {
  return std::vector<int32_t>(chosky_, chosky_ + TESSERA_CHOSKY_WORDS);
}

void HostAreas::set_pivot_area(const std::vector<int32_t> &words) {
  std::copy_n(words.begin(), std::min<size_t>(words.size(), TESSERA_CHOSKY_WORDS), chosky_);
}

// --- control area -----------------------------------------------------------

int32_t ControlArea::min_buffers(int32_t ndesc) { return tessera_buffers_for_hyperblock(1, ndesc); }

int64_t ControlArea::words_for(int32_t L, int32_t buffers, int32_t nfs, int32_t ndesc) {
  return tessera_control_length(L, nfs, ndesc, buffers);
}

ControlArea::ControlArea(int64_t words, int32_t record_length, int32_t nfs, int32_t ndesc)
    : length_(words), record_length_(record_length) {
  if (words > INT32_MAX) throw std::runtime_error("control area above 2^31 words");
  // Zero pages: those the pool never touches are never made resident.
  area_.reset(static_cast<size_t>(words) * sizeof(int32_t));
  int32_t len = static_cast<int32_t>(words), option = 0, ierr = 0;
  hminmf(this->words(), &len, &nfs, &ndesc, &option, &ierr);
  check(ierr, "hminmf", "laying out the control area");
  TESSERA_CTRL(this->words(), TESSERA_CTRL_RECORD_LENGTH) = record_length;
}

int32_t ControlArea::buffers() const {
  return TESSERA_CTRL(static_cast<const int32_t *>(area_.data()), TESSERA_CTRL_BUFFERS);
}

// --- file sets --------------------------------------------------------------

FileSet::FileSet(ControlArea &area, std::vector<std::string> paths, int32_t handle)
    : area_(&area), path_(paths.at(0)), paths_(std::move(paths)), handle_(handle) {}

FileSet::FileSet(FileSet &&o) noexcept
    : area_(o.area_), path_(std::move(o.path_)), paths_(std::move(o.paths_)), handle_(o.handle_) {
  o.handle_ = 0;
}

FileSet &FileSet::operator=(FileSet &&o) noexcept {
  if (this != &o) {
    abandon();
    area_ = o.area_;
    path_ = std::move(o.path_);
    paths_ = std::move(o.paths_);
    handle_ = o.handle_;
    o.handle_ = 0;
  }
  return *this;
}

FileSet::~FileSet() { abandon(); }

FileSet FileSet::create(ControlArea &area, const std::string &path, int64_t initial_words) {
  std::vector<char> name(path.begin(), path.end());
  name.push_back('\0');
  char *names[] = {name.data()};
  int32_t nfiles = 1, index_records = 0, handle = 0, ierr = 0;
  int32_t initial = static_cast<int32_t>(std::min<int64_t>(initial_words, INT32_MAX));
  hmnewf(area.words(), &nfiles, names, &index_records, &initial, &handle, &ierr);
  check(ierr, "hmnewf", "creating " + path);
  return FileSet(area, {path}, handle);
}

FileSet FileSet::open(ControlArea &area, const std::string &path) {
  return open(area, std::vector<std::string>{path});
}

FileSet FileSet::open(ControlArea &area, const std::vector<std::string> &paths) {
  std::vector<std::vector<char>> names;
  std::vector<char *> ptrs;
  for (const std::string &p : paths) names.emplace_back(p.begin(), p.end()), names.back().push_back('\0');
  for (auto &n : names) ptrs.push_back(n.data());
  int32_t nfiles = static_cast<int32_t>(paths.size()), handle = 0, ierr = 0;
  hmoldf(area.words(), &nfiles, ptrs.data(), &handle, &ierr);
  check(ierr, "hmoldf", "opening " + paths.at(0) + (paths.size() > 1 ? " and the files after it" : ""));
  return FileSet(area, paths, handle);
}

void FileSet::remove() {
  int32_t ierr = 0;
  hmremf(area_->words(), &handle_, &ierr);
  check(ierr, "hmremf", "writing the tables of " + path_);
  handle_ = 0;
}

void FileSet::kill() {
  int32_t ierr = 0;
  hmkilf(area_->words(), &handle_, &ierr);
  check(ierr, "hmkilf", "deleting " + path_);
  handle_ = 0;
}

void FileSet::abandon() noexcept {
  if (handle_ == 0 || area_ == nullptr) return;
  // The handles of the set's files, from its file-set area.
  int32_t *ctrl = area_->words();
  const int32_t p = handle_;
  auto fs = [&](int32_t w) -> int32_t & { return ctrl[p + w - 2]; };
  const int32_t count = fs(kFileSetFileCount);
  for (int32_t i = 1; i <= count && i <= TESSERA_MAX_FILES; ++i) {
    int32_t h = i == 1 ? fs(kFileSetFirstHandle)
                       : fs(kFileSetLaterHandle + kFileSetNameStride * (i - 2));
    const std::string &name = static_cast<size_t>(i) <= paths_.size() ? paths_[i - 1] : path_;
    DAF_file_close(&h, name.c_str(), &kCloseOne, &kKeepFile);
  }
  handle_ = 0;
}

void FileSet::sync() const {
  fsync_path(path_, false);
  std::filesystem::path dir = std::filesystem::path(path_).parent_path();
  fsync_path(dir.empty() ? std::string(".") : dir.string(), true);
}

// --- matrices ---------------------------------------------------------------

Matrix::Matrix(Matrix &&o) noexcept
    : area_(o.area_), set_(o.set_), name_(std::move(o.name_)), handle_(o.handle_),
      rows_(o.rows_), cols_(o.cols_), type_(o.type_), form_(o.form_) {
  o.handle_ = 0;
}

Matrix &Matrix::operator=(Matrix &&o) noexcept {
  if (this != &o) {
    area_ = o.area_;
    set_ = o.set_;
    name_ = std::move(o.name_);
    handle_ = o.handle_;
    rows_ = o.rows_;
    cols_ = o.cols_;
    type_ = o.type_;
    form_ = o.form_;
    o.handle_ = 0;
  }
  return *this;
}

Matrix Matrix::create(FileSet &set, const std::string &name, int32_t qualifier, int32_t type,
                      int32_t form, int32_t rows, int32_t cols) {
  Matrix m;
  m.area_ = &set.area();
  m.set_ = &set;
  m.name_ = name;
  int32_t key[3], fs = set.handle(), ierr = 0;
  pack_name(name, key);
  hmnewm(m.area_->words(), key, &qualifier, &fs, &type, &form, &rows, &cols, &m.handle_, &ierr);
  check(ierr, "hmnewm", "creating matrix " + name + " in " + set.path());
  m.rows_ = rows;
  m.cols_ = cols;
  m.type_ = type;
  m.form_ = form;
  return m;
}

Matrix Matrix::open(FileSet &set, const std::string &name, int32_t qualifier, bool readonly) {
  Matrix m;
  m.area_ = &set.area();
  m.set_ = &set;
  m.name_ = name;
  int32_t key[3], fs = set.handle(), ro = readonly ? 1 : 0, storage = 0, ierr = 0;
  pack_name(name, key);
  hmoldm(m.area_->words(), key, &qualifier, &fs, &ro, &m.type_, &storage, &m.rows_, &m.cols_,
         &m.handle_, &ierr);
  check(ierr, "hmoldm", "opening matrix " + name + " of " + set.path());
  m.type_ %= 256;
  m.form_ = storage % 128;
  return m;
}

int32_t Matrix::state(FileSet &set, const std::string &name, int32_t qualifier) {
  int32_t key[3], fs = set.handle(), state = -1;
  pack_name(name, key);
  hminqm(set.area().words(), key, &qualifier, &fs, &state);
  return state;
}

void Matrix::put(int32_t i0, int32_t nr, int32_t j0, int32_t nc, const void *a, int32_t lda) {
  int32_t i1 = i0 + 1, j1 = j0 + 1, ierr = 0;
  hmputs(area_->words(), &handle_, &i1, &nr, &j1, &nc, static_cast<const float *>(a), &lda,
         &ierr);
  check(ierr, "hmputs", "writing matrix " + name_ + " of " + set_->path());
}

void Matrix::get(int32_t i0, int32_t nr, int32_t j0, int32_t nc, void *a, int32_t lda) {
  int32_t i1 = i0 + 1, j1 = j0 + 1, ierr = 0;
  hmgets(area_->words(), &handle_, &i1, &nr, &j1, &nc, static_cast<float *>(a), &lda, &ierr);
  check(ierr, "hmgets", "reading matrix " + name_ + " of " + set_->path());
}

void Matrix::release() {
  if (handle_ == 0) return;
  int32_t ierr = 0;
  hmrelm(area_->words(), &handle_, &ierr);
  check(ierr, "hmrelm", "releasing matrix " + name_ + " of " + set_->path());
  handle_ = 0;
}

// --- integer vectors --------------------------------------------------------

void put_ints(FileSet &set, const std::string &name, int32_t qualifier,
              const std::vector<int32_t> &v) {
  // The length leads; the rows are one block order of 32-bit integers.
  const int64_t len = static_cast<int64_t>(v.size()) + 1;
  const int32_t nb = static_cast<int32_t>(std::sqrt(static_cast<double>(set.area().record_length())));
  const int32_t rows = static_cast<int32_t>(std::min<int64_t>(len, nb));
  const int32_t cols = static_cast<int32_t>((len + rows - 1) / rows);
  std::vector<int32_t> all(static_cast<size_t>(rows) * cols, 0);
  all[0] = static_cast<int32_t>(v.size());
  std::copy(v.begin(), v.end(), all.begin() + 1);
  Matrix m = Matrix::create(set, name, qualifier, TESSERA_TYPE_INT32, TESSERA_FORM_GENERAL, rows, cols);
  m.put(0, rows, 0, cols, all.data(), rows);
  m.release();
}

std::vector<int32_t> get_ints(FileSet &set, const std::string &name, int32_t qualifier) {
  Matrix m = Matrix::open(set, name, qualifier, true);
  if (m.type() != TESSERA_TYPE_INT32 || m.rows() < 1 || m.cols() < 1)
    throw std::runtime_error("matrix " + name + " of " + set.path() + " is not a vector of integers");
  std::vector<int32_t> all(static_cast<size_t>(m.rows()) * m.cols());
  m.get(0, m.rows(), 0, m.cols(), all.data(), m.rows());
  m.release();
  if (all[0] < 0 || static_cast<size_t>(all[0]) + 1 > all.size())
    throw std::runtime_error("matrix " + name + " of " + set.path() + " holds a bad length");
  return std::vector<int32_t>(all.begin() + 1, all.begin() + 1 + all[0]);
}

int64_t free_disk_bytes(const std::string &path) {
  std::filesystem::path dir = std::filesystem::path(path).parent_path();
  struct statvfs st;
  if (::statvfs(dir.empty() ? "." : dir.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

}  // namespace tessera::solve
