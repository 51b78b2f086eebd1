// Transfer throughput: a large double matrix written with hmputs and read
// back with hmgets, against the same bytes moved with plain pwrite/pread of
// the same record size, in the same process and the same directory.
//
// For each record length the run lays out a fresh control area (record length
// set in control-area word 2 between hminmf and hmnewf), creates a one-file
// set sized for the matrix, and moves the matrix panel by panel, one
// hyperblock column of blocks at a time, the way a hypermatrix solver does.
// The write time includes hmrelm, which writes the modified buffers back.
//
// By default the figures are cold-cache figures: both sides fsync their file
// inside the write time and drop it from the page cache (fadvise DONTNEED)
// before reading. --warm skips both, on both sides.
//
// Besides wall time each phase reports user and system CPU seconds, so that
// the library's own work (user), its system calls (sys) and waiting for the
// disk (the rest) can be told apart.
//
// --header adds a third side: the same puts and gets through the C++ header
// (tessera::Matrix<double>::put and get) on the same control area, in a second
// file set, so that the cost of the header over the C calls shows as a ratio.
#define _FILE_OFFSET_BITS 64

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "tessera.h"
#include "tessera.hpp"

namespace {

using tessera::WordView;
namespace cw = tessera::cw;
namespace dw = tessera::dw;

// Element type code of a double-precision real matrix, and a general form.
constexpr int32_t kTypeDouble = 4;
constexpr int32_t kFormGeneral = 3;
// The bench's matrix size is rounded up to a multiple of this, so that the
// block orders of the default record lengths (32 and 256) leave no edges.
constexpr int32_t kOrderStep = 256;
constexpr int32_t kFileSets = 2;  // the C calls' set and the header's
constexpr int32_t kDescriptors = 4;

struct Options {
  std::string dir;
  bool dir_given = false;
  double mib = 1024.0;
  std::vector<int32_t> reclens{2048, 131072};
  double pool_mib = 64.0;
  int32_t panel = 0;  // columns per transfer; 0: one hyperblock column
  bool warm = false;
  bool header = false;
  int32_t repeats = 4;
};

void usage(FILE *to) {
  std::fprintf(to,
               "usage: transfer_bench [--dir DIR] [--mib MIB] [--reclen L1,L2,...]\n"
               "                      [--pool-mib MIB] [--panel COLS] [--repeat N] [--warm]\n"
               "                      [--header]\n"
               "\n"
               "Writes a square double matrix of at least MIB MiB (default 1024) with\n"
               "hmputs + hmrelm and reads it back with hmgets, for each record length in\n"
               "words (default 2048,131072), and moves the same bytes with plain\n"
               "pwrite/pread of one record each as the baseline.\n"
               "  --dir DIR       where the files go (default /tmp/tessera-bench-PID);\n"
               "                  every file is deleted at the end\n"
               "  --pool-mib MIB  size of the control area's buffer pool (default 64)\n"
               "  --panel COLS    columns per hmputs/hmgets (default: one hyperblock column)\n"
               "  --repeat N      runs of each phase, the best one reported (default 4); the\n"
               "                  side that goes first alternates from run to run\n"
               "  --warm          keep the page cache: no fsync, no DONTNEED (default: both\n"
               "                  sides fsync inside the write time and drop the file from\n"
               "                  the page cache before reading)\n"
               "  --header        also move the matrix through the C++ header (Matrix<double>\n"
               "                  put/get) on the same control area, and compare with the C calls\n");
}

bool parse(int argc, char **argv, Options &o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char *name) -> const char * {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      usage(stdout);
      std::exit(0);
    } else if (a == "--dir") {
      const char *v = value("--dir");
      if (!v) return false;
      o.dir = v;
      o.dir_given = true;
    } else if (a == "--mib") {
      const char *v = value("--mib");
      if (!v) return false;
      o.mib = std::atof(v);
      if (!(o.mib > 0)) return false;
    } else if (a == "--pool-mib") {
      const char *v = value("--pool-mib");
      if (!v) return false;
      o.pool_mib = std::atof(v);
      if (!(o.pool_mib > 0)) return false;
    } else if (a == "--panel") {
      const char *v = value("--panel");
      if (!v) return false;
      o.panel = std::atoi(v);
      if (o.panel < 1) return false;
    } else if (a == "--reclen") {
      const char *v = value("--reclen");
      if (!v) return false;
      o.reclens.clear();
      for (const char *p = v; *p;) {
        char *end = nullptr;
        long l = std::strtol(p, &end, 10);
        if (end == p || l < 128 || l > (1L << 24)) return false;
        o.reclens.push_back(static_cast<int32_t>(l));
        p = (*end == ',') ? end + 1 : end;
        if (*end != ',' && *end != '\0') return false;
      }
      if (o.reclens.empty()) return false;
    } else if (a == "--repeat") {
      const char *v = value("--repeat");
      if (!v) return false;
      o.repeats = std::atoi(v);
      if (o.repeats < 1) return false;
    } else if (a == "--warm") {
      o.warm = true;
    } else if (a == "--header") {
      o.header = true;
    } else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      return false;
    }
  }
  return true;
}

// Wall and CPU seconds, summed over the intervals between start and stop.
class Meter {
 public:
  void start() {
    wall0_ = std::chrono::steady_clock::now();
    cpu(user0_, sys0_);
  }
  void stop() {
    double u, s;
    cpu(u, s);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0_).count();
    user += u - user0_;
    sys += s - sys0_;
  }
  Meter &operator+=(const Meter &m) {
    wall += m.wall;
    user += m.user;
    sys += m.sys;
    return *this;
  }
  double wall = 0, user = 0, sys = 0;

 private:
  static void cpu(double &u, double &s) {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    u = r.ru_utime.tv_sec + r.ru_utime.tv_usec * 1e-6;
    s = r.ru_stime.tv_sec + r.ru_stime.tv_usec * 1e-6;
  }
  std::chrono::steady_clock::time_point wall0_;
  double user0_ = 0, sys0_ = 0;
};

// The matrix's content: exact in a double for every order the bench uses, so
// a read back compares with ==.
inline double value_at(int64_t row, int64_t col, int64_t n) {
  return static_cast<double>(row + 1 + col * n);
}

void fill_panel(std::vector<double> &panel, int32_t n, int32_t col0, int32_t cols) {
  for (int32_t j = 0; j < cols; ++j) {
    double *c = panel.data() + static_cast<size_t>(j) * n;
    for (int32_t i = 0; i < n; ++i) c[i] = value_at(i, col0 + j, n);
  }
}

// Number of elements that differ from the content.
int64_t check_panel(const std::vector<double> &panel, int32_t n, int32_t col0, int32_t cols) {
  int64_t bad = 0;
  for (int32_t j = 0; j < cols; ++j) {
    const double *c = panel.data() + static_cast<size_t>(j) * n;
    for (int32_t i = 0; i < n; ++i) bad += c[i] != value_at(i, col0 + j, n);
  }
  return bad;
}

void print_trace() {
  const int32_t *trace_area = reinterpret_cast<const int32_t *>(Xerror);
  std::fprintf(stderr, "  error trace (innermost first):");
  for (int32_t i = 1; i <= trace_area[0] && i <= 20; ++i) std::fprintf(stderr, " %d", trace_area[i]);
  std::fprintf(stderr, "\n");
}

bool ok(const char *what, int32_t ierr) {
  if (ierr == 0) return true;
  std::fprintf(stderr, "%s failed: ierr %d\n", what, ierr);
  print_trace();
  return false;
}

// fsync a file by name (the library keeps its descriptors to itself; any
// descriptor of the file flushes its dirty pages).
bool sync_file(const std::string &path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool good = ::fsync(fd) == 0;
  ::close(fd);
  return good;
}

bool drop_from_cache(const std::string &path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool good = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  ::close(fd);
  return good;
}

// One repetition of the four phases.
struct Run {
  Meter puts, relm, lib_sync, gets;
  Meter pwrite, plain_sync, pread;
  Meter hputs, hrelm, hsync, hgets;  // through the C++ header
  Meter header_write() const {
    Meter m = hputs;
    m += hrelm;
    m += hsync;
    return m;
  }
  Meter lib_write() const {
    Meter m = puts;
    m += relm;
    m += lib_sync;
    return m;
  }
  Meter plain_write() const {
    Meter m = pwrite;
    m += plain_sync;
    return m;
  }
};

// What the library chose for the matrix, read from its descriptor.
struct Shape {
  int32_t n = 0, nb = 0, b1 = 0, buffers = 0, panel = 0;
};

double mb(int64_t bytes) { return static_cast<double>(bytes) / 1e6; }

void print_row(const char *name, const Meter &m, int64_t bytes) {
  std::printf("  %-22s %9.3f %9.1f %8.3f %8.3f\n", name, m.wall,
              m.wall > 0 ? mb(bytes) / m.wall : 0.0, m.user, m.sys);
}

void print_part(const char *name, const Meter &m) {
  std::printf("    %-20s %9.3f %9s %8.3f %8.3f\n", name, m.wall, "", m.user, m.sys);
}

// Index of the run whose `phase` took the least wall time: on a machine
// shared with other work the best of a few runs is the steadiest figure.
template <typename F>
size_t best(const std::vector<Run> &runs, F phase) {
  size_t b = 0;
  for (size_t i = 1; i < runs.size(); ++i)
    if (phase(runs[i]).wall < phase(runs[b]).wall) b = i;
  return b;
}

template <typename F>
void print_walls(const char *name, const std::vector<Run> &runs, F phase) {
  std::printf("    %-20s", name);
  for (const Run &r : runs) std::printf(" %.3f", phase(r).wall);
  std::printf("\n");
}

void print_figures(const Options &o, int32_t reclen, const Shape &sh,
                   const std::vector<Run> &runs, int64_t bad) {
  const int64_t bytes = static_cast<int64_t>(sh.n) * sh.n * 8;
  auto lib_w = [](const Run &r) { return r.lib_write(); };
  auto plain_w = [](const Run &r) { return r.plain_write(); };
  auto lib_r = [](const Run &r) { return r.gets; };
  auto plain_r = [](const Run &r) { return r.pread; };
  const Run &lw = runs[best(runs, lib_w)], &pw = runs[best(runs, plain_w)];
  const Run &lr = runs[best(runs, lib_r)], &pr = runs[best(runs, plain_r)];

  std::printf("\nrecord length %d words (%d KiB): %d x %d doubles, %.1f MB; nb %d, b1 %d, "
              "%d buffers, %d columns a transfer; best of %zu\n",
              reclen, reclen / 256, sh.n, sh.n, mb(bytes), sh.nb, sh.b1, sh.buffers, sh.panel,
              runs.size());
  std::printf("  %-22s %9s %9s %8s %8s\n", "", "seconds", "MB/s", "user s", "sys s");
  print_row("write  library", lw.lib_write(), bytes);
  print_part("hmputs", lw.puts);
  print_part("hmrelm", lw.relm);
  if (!o.warm) print_part("fsync", lw.lib_sync);
  print_row("write  plain pwrite", pw.plain_write(), bytes);
  if (!o.warm) {
    print_part("pwrite", pw.pwrite);
    print_part("fsync", pw.plain_sync);
  }
  print_row("read   library hmgets", lr.gets, bytes);
  print_row("read   plain pread", pr.pread, bytes);
  if (runs.size() > 1) {
    std::printf("  seconds of every run\n");
    print_walls("write library", runs, lib_w);
    print_walls("write plain", runs, plain_w);
    print_walls("read library", runs, lib_r);
    print_walls("read plain", runs, plain_r);
  }
  auto ratio = [](const Meter &lib, const Meter &plain) {
    return lib.wall > 0 ? plain.wall / lib.wall : 0.0;
  };
  if (o.header) {
    auto head_w = [](const Run &r) { return r.header_write(); };
    auto head_r = [](const Run &r) { return r.hgets; };
    const Run &hw = runs[best(runs, head_w)], &hr = runs[best(runs, head_r)];
    print_row("write  header put", hw.header_write(), bytes);
    print_part("put", hw.hputs);
    print_row("read   header get", hr.hgets, bytes);
    // CPU seconds of the put and get loops alone, summed over all runs: the
    // header's own work is what it adds to the C calls' user time.
    Meter c_puts, h_puts, c_gets, h_gets;
    for (const Run &r : runs) {
      c_puts += r.puts;
      h_puts += r.hputs;
      c_gets += r.gets;
      h_gets += r.hgets;
    }
    std::printf("  header / C calls, all runs: put wall %.3f / %.3f s, user %.3f / %.3f s; "
                "get wall %.3f / %.3f s, user %.3f / %.3f s\n",
                h_puts.wall, c_puts.wall, h_puts.user, c_puts.user, h_gets.wall, c_gets.wall,
                h_gets.user, c_gets.user);
    std::printf("  ratio C seconds / header seconds (best runs; 1.00: no cost): write %.2f, read %.2f\n",
                ratio(hw.header_write(), lw.lib_write()), ratio(hr.hgets, lr.gets));
  }
  std::printf("  ratio library / plain: write %.2f, read %.2f%s\n",
              ratio(lw.lib_write(), pw.plain_write()), ratio(lr.gets, pr.pread),
              bad ? "" : "  (read back verified)");
  if (bad) std::printf("  READ BACK WRONG: %" PRId64 " elements differ\n", bad);
}

// The state one record length works in: a control area laid out for it, the
// host's panel, and the two files.
struct Bench {
  const Options &o;
  int32_t reclen;
  std::string lib_path, plain_path;
  std::unique_ptr<tessera::Session> session;
  std::optional<tessera::FileSet> header_set;
  std::string header_path;
  std::vector<double> host;
  Shape sh;
  int32_t fs = 0, plain_fd = -1;
  int64_t bad = 0;
  int32_t mname[3];
  int32_t qual = 1;

  Bench(const Options &opt, int32_t l, int32_t n, std::string lib, std::string plain)
      : o(opt), reclen(l), lib_path(std::move(lib)), plain_path(std::move(plain)) {
    header_path = lib_path + ".hpp";
    sh.n = n;
    std::memcpy(mname, "TRANSFERMATX", sizeof mname);
  }
  ~Bench() {
    if (plain_fd >= 0) ::close(plain_fd);
  }

  int32_t *c() { return session->ctrl(); }

  // Control area: the buffer pool takes all words the other pools leave, so
  // size it as the pool plus a generous allowance for the rest (the pair
  // pool alone wants about 23 records).
  bool lay_out() {
    const int64_t buffer_words = (static_cast<int64_t>(reclen) + 127) / 128 * 128;
    int64_t buffers = static_cast<int64_t>(o.pool_mib * 1048576.0 / 4.0) / buffer_words;
    // Fewer than this leave no room for one hyperblock of one block.
    buffers = std::max<int64_t>(buffers, 3 * kDescriptors + 15 + 18);
    const int64_t length64 = buffers * (buffer_words + 14) + 48 * buffer_words + 65536;
    if (length64 > INT32_MAX) {
      std::fprintf(stderr, "control area of %" PRId64 " words is too large\n", length64);
      return false;
    }
    // The session links the areas, lays the area out with hminmf and sets
    // the record length; the C calls and the header share it.
    tessera::SessionOptions so;
    so.record_length = reclen;
    so.filesets = kFileSets;
    so.matrices = kDescriptors;
    try {
      session = std::make_unique<tessera::Session>(static_cast<size_t>(length64) * 4, so);
    } catch (const tessera::Error &e) {
      std::fprintf(stderr, "%s\n", e.what());
      return false;
    }
    return true;
  }

  bool library_write(Run &r) {
    // One file, sized for the matrix as a host that knows it would ask for.
    // On a control area this large hmnewf keeps at least 200 index records
    // and refuses a set that leaves no data records after them, so the set
    // starts with room for those too.
    const int32_t n = sh.n;
    const int64_t data_words = static_cast<int64_t>(n) * n * 2;
    const int64_t index_words = 256 * static_cast<int64_t>(reclen);
    int32_t initial = static_cast<int32_t>(
        std::min<int64_t>(data_words + data_words / 16 + index_words, INT32_MAX));
    int32_t nfiles = 1, index_records = 0, ierr = 0;
    std::vector<char> name_buf(lib_path.begin(), lib_path.end());
    name_buf.push_back('\0');
    char *names[1] = {name_buf.data()};
    hmnewf(c(), &nfiles, names, &index_records, &initial, &fs, &ierr);
    if (!ok("hmnewf", ierr)) return false;
    sh.buffers = tessera::control_view(c())[cw::kBufferCount];

    int32_t type = kTypeDouble, form = kFormGeneral, im = 0;
    int32_t rows = n, cols_all = n;
    hmnewm(c(), mname, &qual, &fs, &type, &form, &rows, &cols_all, &im, &ierr);
    if (!ok("hmnewm", ierr)) return false;
    const WordView d(c(), im);
    sh.nb = d[dw::kBlockOrder];
    sh.b1 = d[dw::kHyperOrder];
    sh.panel = std::min(n, o.panel > 0 ? o.panel : sh.nb * sh.b1);
    host.resize(static_cast<size_t>(n) * sh.panel);

    const int32_t one = 1;
    for (int32_t j0 = 0; j0 < n; j0 += sh.panel) {
      int32_t cols = std::min(sh.panel, n - j0), j1 = j0 + 1;
      fill_panel(host, n, j0, cols);
      r.puts.start();
      hmputs(c(), &im, &one, &rows, &j1, &cols, reinterpret_cast<const float *>(host.data()),
             &rows, &ierr);
      r.puts.stop();
      if (!ok("hmputs", ierr)) return false;
    }
    r.relm.start();
    hmrelm(c(), &im, &ierr);
    r.relm.stop();
    if (!ok("hmrelm", ierr)) return false;
    if (!o.warm) {
      r.lib_sync.start();
      bool synced = sync_file(lib_path);
      r.lib_sync.stop();
      if (!synced || !drop_from_cache(lib_path)) {
        std::fprintf(stderr, "fsync or fadvise of %s failed\n", lib_path.c_str());
        return false;
      }
    }
    return true;
  }

  // Read through a read-only open, as a solver's later pass would; then the
  // set goes with its file.
  bool library_read(Run &r) {
    const int32_t n = sh.n, one = 1;
    int32_t readonly = 1, t = 0, s = 0, rows = 0, cols_out = 0, im = 0, ierr = 0;
    hmoldm(c(), mname, &qual, &fs, &readonly, &t, &s, &rows, &cols_out, &im, &ierr);
    if (!ok("hmoldm", ierr)) return false;
    for (int32_t j0 = 0; j0 < n; j0 += sh.panel) {
      int32_t cols = std::min(sh.panel, n - j0), j1 = j0 + 1;
      std::fill(host.begin(), host.end(), -1.0);
      r.gets.start();
      hmgets(c(), &im, &one, &rows, &j1, &cols, reinterpret_cast<float *>(host.data()), &rows,
             &ierr);
      r.gets.stop();
      if (!ok("hmgets", ierr)) return false;
      bad += check_panel(host, n, j0, cols);
    }
    hmrelm(c(), &im, &ierr);
    if (!ok("hmrelm", ierr)) return false;
    hmkilf(c(), &fs, &ierr);
    return ok("hmkilf", ierr);
  }

  // The same puts and gets through the C++ header, in a set of their own.
  bool header_write(Run &r) {
    const int32_t n = sh.n;
    const int64_t data_words = static_cast<int64_t>(n) * n * 2;
    const int32_t initial = static_cast<int32_t>(std::min<int64_t>(
        data_words + data_words / 16 + 256 * static_cast<int64_t>(reclen), INT32_MAX));
    try {
      header_set.emplace(tessera::FileSet::create(*session, {header_path},
                                                  tessera::Replace::allow, 0, initial));
      auto a = tessera::Matrix<double>::create(*header_set, "TRANSFERMATX", n, n);
      for (int32_t j0 = 0; j0 < n; j0 += sh.panel) {
        const int32_t cols = std::min(sh.panel, n - j0);
        fill_panel(host, n, j0, cols);
        r.hputs.start();
        a.put(1, j0 + 1, n, cols, host.data(), n);
        r.hputs.stop();
      }
      r.hrelm.start();
      a.release();
      r.hrelm.stop();
    } catch (const tessera::Error &e) {
      std::fprintf(stderr, "%s\n", e.what());
      return false;
    }
    if (!o.warm) {
      r.hsync.start();
      bool synced = sync_file(header_path);
      r.hsync.stop();
      if (!synced || !drop_from_cache(header_path)) return false;
    }
    return true;
  }

  bool header_read(Run &r) {
    const int32_t n = sh.n;
    try {
      {
        auto a = tessera::Matrix<double>::open(*header_set, "TRANSFERMATX",
                                               tessera::Access::read_only);
        for (int32_t j0 = 0; j0 < n; j0 += sh.panel) {
          const int32_t cols = std::min(sh.panel, n - j0);
          std::fill(host.begin(), host.end(), -1.0);
          r.hgets.start();
          a.get(1, j0 + 1, n, cols, host.data(), n);
          r.hgets.stop();
          bad += check_panel(host, n, j0, cols);
        }
      }
      header_set->kill();
      header_set.reset();
    } catch (const tessera::Error &e) {
      std::fprintf(stderr, "%s\n", e.what());
      return false;
    }
    return true;
  }

  // The baseline: the same bytes in records of the same size, one pwrite or
  // pread a record, sequentially. Only the last record of a panel may be
  // short when the panel is not a whole number of records.
  bool plain_write(Run &r) {
    const int32_t n = sh.n;
    const size_t rec_bytes = static_cast<size_t>(reclen) * 4;
    plain_fd = ::open(plain_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (plain_fd < 0) {
      std::perror(plain_path.c_str());
      return false;
    }
    off_t pos = 0;
    for (int32_t j0 = 0; j0 < n; j0 += sh.panel) {
      int32_t cols = std::min(sh.panel, n - j0);
      fill_panel(host, n, j0, cols);
      const char *p = reinterpret_cast<const char *>(host.data());
      const size_t panel_bytes = static_cast<size_t>(n) * cols * 8;
      r.pwrite.start();
      for (size_t off = 0; off < panel_bytes; off += rec_bytes) {
        size_t len = std::min(rec_bytes, panel_bytes - off);
        if (::pwrite(plain_fd, p + off, len, pos) != static_cast<ssize_t>(len)) {
          std::perror("pwrite");
          return false;
        }
        pos += static_cast<off_t>(len);
      }
      r.pwrite.stop();
    }
    if (!o.warm) {
      r.plain_sync.start();
      bool synced = ::fsync(plain_fd) == 0;
      r.plain_sync.stop();
      if (!synced || ::posix_fadvise(plain_fd, 0, 0, POSIX_FADV_DONTNEED) != 0) {
        std::fprintf(stderr, "fsync or fadvise of %s failed\n", plain_path.c_str());
        return false;
      }
    }
    return true;
  }

  bool plain_read(Run &r) {
    const int32_t n = sh.n;
    const size_t rec_bytes = static_cast<size_t>(reclen) * 4;
    off_t pos = 0;
    for (int32_t j0 = 0; j0 < n; j0 += sh.panel) {
      int32_t cols = std::min(sh.panel, n - j0);
      char *p = reinterpret_cast<char *>(host.data());
      const size_t panel_bytes = static_cast<size_t>(n) * cols * 8;
      r.pread.start();
      for (size_t off = 0; off < panel_bytes; off += rec_bytes) {
        size_t len = std::min(rec_bytes, panel_bytes - off);
        if (::pread(plain_fd, p + off, len, pos) != static_cast<ssize_t>(len)) {
          std::perror("pread");
          return false;
        }
        pos += static_cast<off_t>(len);
      }
      r.pread.stop();
      bad += check_panel(host, n, j0, cols);
    }
    ::close(plain_fd);
    plain_fd = -1;
    ::unlink(plain_path.c_str());
    return true;
  }

  // Every repetition writes both files afresh and reads them back. The side
  // that goes first alternates: whichever reads first after the writes pays
  // far more system time in the kernel's copy to user memory (up to a second
  // per GB on the machine this was written on, whichever side it is), so a
  // fixed order would favour one side.
  bool run(std::vector<Run> &runs, int32_t repeats) {
    if (!lay_out()) return false;
    for (int32_t k = 0; k < repeats; ++k) {
      Run r;
      // The header's side, when asked for, goes between the two others.
      auto hw = [&] { return !o.header || header_write(r); };
      auto hr = [&] { return !o.header || header_read(r); };
      const bool good = k % 2 == 0 ? library_write(r) && hw() && plain_write(r) &&
                                         library_read(r) && hr() && plain_read(r)
                                   : plain_write(r) && hw() && library_write(r) &&
                                         plain_read(r) && hr() && library_read(r);
      if (!good) return false;
      runs.push_back(r);
    }
    int32_t ierr = 0;  // checking mode: every file set must be gone
    hmclos(c(), &ierr);
    if (!ok("hmclos", ierr)) return false;
    // hmclos marked the area uninitialised; the session's own closing check
    // then finds nothing to do.
    session.reset();
    return true;
  }
};

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    usage(stderr);
    return 2;
  }
  bool made_dir = false;
  if (!o.dir_given) o.dir = "/tmp/tessera-bench-" + std::to_string(::getpid());
  if (::mkdir(o.dir.c_str(), 0755) == 0) {
    made_dir = true;
  } else if (errno != EEXIST) {
    std::perror(o.dir.c_str());
    return 1;
  }

  // Order of the matrix: the smallest multiple of kOrderStep whose n x n
  // doubles take at least the asked size.
  const double elements = o.mib * 1048576.0 / 8.0;
  int64_t n64 = static_cast<int64_t>(std::ceil(std::sqrt(elements)));
  n64 = (n64 + kOrderStep - 1) / kOrderStep * kOrderStep;
  if (n64 * n64 * 2 > INT32_MAX) {
    std::fprintf(stderr, "a matrix of %.0f MiB does not fit in one file set\n", o.mib);
    return 2;
  }
  const int32_t n = static_cast<int32_t>(n64);

  std::printf("transfer_bench: %s figures, directory %s\n",
              o.warm ? "warm-cache (no fsync, page cache kept)"
                     : "cold-cache (fsync inside the write time, fadvise DONTNEED before reads)",
              o.dir.c_str());
  std::printf("MB = 10^6 bytes; ratio = plain seconds / library seconds (1.00: as fast as plain)\n");

  int status = 0;
  for (int32_t reclen : o.reclens) {
    const std::string tag = std::to_string(reclen);
    Bench b(o, reclen, n, o.dir + "/library_L" + tag + ".tsf", o.dir + "/plain_L" + tag + ".dat");
    std::vector<Run> runs;
    std::fflush(stdout);
    const bool good = b.run(runs, o.repeats);
    // Whatever a failed run left behind goes too; its file set may still be
    // open in a control area that is gone by now.
    ::unlink(b.lib_path.c_str());
    ::unlink(b.plain_path.c_str());
    ::unlink(b.header_path.c_str());
    if (!good) {
      status = 1;
      break;
    }
    print_figures(o, reclen, b.sh, runs, b.bad);
    if (b.bad) status = 1;
  }
  if (made_dir) ::rmdir(o.dir.c_str());
  return status;
}
