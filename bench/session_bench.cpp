// Whole sessions of a file set, removal after removal, timed by phase: what
// keeping a set recoverable between removals costs.
//
// Each session creates a one-file set, then runs rounds; every round ends
// with hmremf and hmoldf, so that what the round wrote is what the next round
// finds stored. Two kinds of round, for transfers and for the multiply:
//   adding     every round stores a new matrix (a new product Y = A B),
//              writing only records that were free at the last removal;
//   rewriting  every round writes all of the same stored matrix again (adds
//              A B into the same stored Y), overwriting records that the last
//              removal stored.
// Phases: "write" (hmputs + hmrelm, or hlmult + hmrelm), "read" (hmgets of
// the whole matrix through a read-only open, every element checked), and
// "remove" (hmremf + hmoldf, plus an fsync of the set's files from outside,
// so that a build whose removal does not sync is charged what a host that
// wants the data on disk must add). The page cache is kept throughout: the
// figures are those of a machine whose memory absorbs the writes.
//
// Built from the same source against two builds of the library, the two
// programs run one after the other (scripts/bench.sh session-compare) give
// the before/after figures in one run.
#define _FILE_OFFSET_BITS 64

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tessera.h"

namespace {

constexpr int32_t kTypeDouble = 4;
constexpr int32_t kFormGeneral = 3;
// Control-area words (1-based) a host may set: record length, DGEMM switch.
constexpr int32_t kWordRecordLength = 2;
constexpr int32_t kWordBlas = 4;

int32_t trace_area[21];
int32_t cache_area[64];
int32_t chosky_area[600];

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// User and system CPU seconds of the process so far: steadier than wall time
// on a machine shared with other work.
double cpu() {
  struct rusage ru;
  ::getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

// Wall and CPU seconds of a phase, added up over the rounds.
struct Phase {
  double wall = 0, cpu_s = 0, w0 = 0, c0 = 0;
  void start() {
    w0 = now();
    c0 = cpu();
  }
  void stop() {
    wall += now() - w0;
    cpu_s += cpu() - c0;
  }
};

struct Options {
  std::string dir = "/tmp/tessera-session-bench";
  double mib = 256;
  int32_t reclen = 2048;
  int32_t rounds = 3;
  int32_t mult_n = 1536;
  double pool_mib = 64;
};

bool ok(const char *what, int32_t ierr) {
  if (ierr == 0) return true;
  std::fprintf(stderr, "%s: ierr %d, trace", what, ierr);
  for (int32_t i = 1; i <= trace_area[0] && i <= 20; ++i) std::fprintf(stderr, " %d", trace_area[i]);
  std::fprintf(stderr, "\n");
  return false;
}

double element(int32_t stamp, int64_t i, int64_t j) {
  return static_cast<double>(stamp) * 1e6 + static_cast<double>((i * 131 + j * 7) % 100003);
}

struct Session {
  const Options &o;
  std::vector<int32_t> ctrl;
  std::string path;
  int32_t fs = 0;
  Phase write, read, remove;
  int64_t bad = 0;

  explicit Session(const Options &opt, const std::string &name) : o(opt), path(o.dir + "/" + name) {}
  int32_t *c() { return ctrl.data(); }

  bool open_set(int64_t data_words) {
    const int64_t buffer_words = (static_cast<int64_t>(o.reclen) + 127) / 128 * 128;
    const int64_t buffers = static_cast<int64_t>(o.pool_mib * 1048576.0 / 4.0) / buffer_words;
    int32_t length = static_cast<int32_t>(buffers * (buffer_words + 14) + 48 * buffer_words + 65536);
    ctrl.assign(static_cast<size_t>(length), 0);
    int32_t nfs = 1, ndesc = 8, option = 0, ierr = 0;
    hminmf(c(), &length, &nfs, &ndesc, &option, &ierr);
    if (!ok("hminmf", ierr)) return false;
    ctrl[kWordRecordLength - 1] = o.reclen;
    ctrl[kWordBlas - 1] = 1;
    int32_t nfiles = 1, index_records = 0, initial = static_cast<int32_t>(std::min<int64_t>(
                                                        data_words + 256LL * o.reclen, INT32_MAX));
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    char *names[1] = {name.data()};
    hmnewf(c(), &nfiles, names, &index_records, &initial, &fs, &ierr);
    return ok("hmnewf", ierr);
  }

  // hmremf and hmoldf, then the files synced from outside.
  bool commit() {
    remove.start();
    int32_t ierr = 0, nfiles = 1;
    hmremf(c(), &fs, &ierr);
    if (!ok("hmremf", ierr)) return false;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0 || ::fsync(fd) != 0) return false;
    ::close(fd);
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    char *names[1] = {name.data()};
    hmoldf(c(), &nfiles, names, &fs, &ierr);
    remove.stop();
    return ok("hmoldf", ierr);
  }

  bool open_matrix(int32_t id, bool fresh, bool readonly_open, int32_t n, int32_t &im) {
    int32_t name[3];
    char bytes[13];
    std::snprintf(bytes, sizeof bytes, "M%-11d", id);
    std::memcpy(name, bytes, sizeof name);
    int32_t q = 1, type = kTypeDouble, form = kFormGeneral, rows = n, cols = n, ierr = 0;
    if (fresh) {
      hmnewm(c(), name, &q, &fs, &type, &form, &rows, &cols, &im, &ierr);
      return ok("hmnewm", ierr);
    }
    int32_t ro = readonly_open ? 1 : 0;
    hmoldm(c(), name, &q, &fs, &ro, &type, &form, &rows, &cols, &im, &ierr);
    return ok("hmoldm", ierr);
  }

  bool put_all(int32_t im, int32_t n, int32_t stamp) {
    const int32_t panel = 256, one = 1;
    std::vector<double> a(static_cast<size_t>(n) * panel);
    int32_t ierr = 0, rows = n;
    for (int32_t j0 = 0; j0 < n; j0 += panel) {
      int32_t cols = std::min(panel, n - j0), j1 = j0 + 1;
      for (int32_t j = 0; j < cols; ++j)
        for (int32_t i = 0; i < n; ++i) a[static_cast<size_t>(j) * n + i] = element(stamp, i, j0 + j);
      hmputs(c(), &im, &one, &rows, &j1, &cols, reinterpret_cast<const float *>(a.data()), &rows,
             &ierr);
      if (!ok("hmputs", ierr)) return false;
    }
    hmrelm(c(), &im, &ierr);
    return ok("hmrelm", ierr);
  }

  bool get_all(int32_t id, int32_t n, int32_t stamp) {
    read.start();
    int32_t im = 0;
    if (!open_matrix(id, false, true, n, im)) return false;
    const int32_t panel = 256, one = 1;
    std::vector<double> a(static_cast<size_t>(n) * panel);
    int32_t ierr = 0, rows = n;
    for (int32_t j0 = 0; j0 < n; j0 += panel) {
      int32_t cols = std::min(panel, n - j0), j1 = j0 + 1;
      hmgets(c(), &im, &one, &rows, &j1, &cols, reinterpret_cast<float *>(a.data()), &rows, &ierr);
      if (!ok("hmgets", ierr)) return false;
      for (int32_t j = 0; j < cols; ++j)
        for (int32_t i = 0; i < n; ++i)
          bad += a[static_cast<size_t>(j) * n + i] != element(stamp, i, j0 + j);
    }
    hmrelm(c(), &im, &ierr);
    read.stop();
    return ok("hmrelm", ierr);
  }

  bool close_set() {
    int32_t ierr = 0;
    hmkilf(c(), &fs, &ierr);
    return ok("hmkilf", ierr);
  }
};

// Transfers: one matrix of about o.mib MiB a round.
bool transfer_session(const Options &o, bool rewriting, Session &s) {
  const int32_t n = static_cast<int32_t>(std::sqrt(o.mib * 1048576.0 / 8.0)) / 256 * 256;
  const int64_t words = 2LL * n * n;
  if (!s.open_set(rewriting ? words + words / 8 : (o.rounds + 1) * (words + words / 8))) return false;
  int32_t im = 0;
  if (rewriting) {
    if (!s.open_matrix(1, true, false, n, im) || !s.put_all(im, n, 0) || !s.commit()) return false;
    s.remove = Phase();
  }
  for (int32_t k = 1; k <= o.rounds; ++k) {
    const int32_t id = rewriting ? 1 : k;
    s.write.start();
    if (!s.open_matrix(id, !rewriting, false, n, im) || !s.put_all(im, n, k)) return false;
    s.write.stop();
    if (!s.get_all(id, n, k) || !s.commit()) return false;
  }
  return s.close_set();
}

// Multiply: Y += A B into a stored Y (rewriting) or into a new one (adding).
bool mult_session(const Options &o, bool rewriting, Session &s) {
  const int32_t n = o.mult_n;
  const int64_t words = 2LL * n * n;
  if (!s.open_set((o.rounds + 3) * (words + words / 8))) return false;
  int32_t a = 0, b = 0, y = 0;
  if (!s.open_matrix(1, true, false, n, a) || !s.put_all(a, n, 1) ||
      !s.open_matrix(2, true, false, n, b) || !s.put_all(b, n, 2)) {
    return false;
  }
  if (rewriting && (!s.open_matrix(3, true, false, n, y) || !s.put_all(y, n, 3))) return false;
  if (!s.commit()) return false;
  s.remove = Phase();
  for (int32_t k = 1; k <= o.rounds; ++k) {
    const int32_t id = rewriting ? 3 : 10 + k;
    if (!s.open_matrix(1, false, true, n, a) || !s.open_matrix(2, false, true, n, b) ||
        !s.open_matrix(id, !rewriting, false, n, y)) {
      return false;
    }
    int32_t ta = 0, tb = 0, up = 0, sub = 0, ierr = 0;
    s.write.start();
    hlmult(s.c(), &a, &b, &y, &ta, &tb, &up, &sub, &ierr);
    if (!ok("hlmult", ierr)) return false;
    hmrelm(s.c(), &y, &ierr);
    s.write.stop();
    if (!ok("hmrelm Y", ierr)) return false;
    hmrelm(s.c(), &a, &ierr);
    hmrelm(s.c(), &b, &ierr);
    if (!ok("hmrelm", ierr) || !s.commit()) return false;
  }
  return s.close_set();
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--dir") o.dir = argv[i + 1];
    else if (a == "--mib") o.mib = std::atof(argv[i + 1]);
    else if (a == "--reclen") o.reclen = std::atoi(argv[i + 1]);
    else if (a == "--rounds") o.rounds = std::atoi(argv[i + 1]);
    else if (a == "--mult-n") o.mult_n = std::atoi(argv[i + 1]);
    else {
      std::fprintf(stderr,
                   "usage: session_bench [--dir DIR] [--mib MIB] [--reclen WORDS] [--rounds N]"
                   " [--mult-n N]\n");
      return 2;
    }
  }
  Xerror = reinterpret_cast<char *>(trace_area);
  Xcache = reinterpret_cast<char *>(cache_area);
  Xchosky = reinterpret_cast<char *>(chosky_area);
  ::mkdir(o.dir.c_str(), 0755);
  int status = 0;
  struct Kind {
    const char *name;
    bool mult, rewriting;
  } kinds[] = {{"put/get adding", false, false},
               {"put/get rewriting", false, true},
               {"hlmult adding", true, false},
               {"hlmult rewriting", true, true}};
  for (const Kind &k : kinds) {
    Session s(o, "session.tsf");
    const bool good = k.mult ? mult_session(o, k.rewriting, s) : transfer_session(o, k.rewriting, s);
    ::unlink(s.path.c_str());
    if (!good || s.bad != 0) {
      std::printf("%-18s failed (%" PRId64 " wrong elements)\n", k.name, s.bad);
      status = 1;
      continue;
    }
    std::printf("%-18s record %6d words  %d rounds  wall/cpu s: write %6.3f %6.3f  read %6.3f %6.3f"
                "  remove %6.3f %6.3f  total %6.3f %6.3f\n",
                k.name, o.reclen, o.rounds, s.write.wall, s.write.cpu_s, s.read.wall, s.read.cpu_s,
                s.remove.wall, s.remove.cpu_s, s.write.wall + s.read.wall + s.remove.wall,
                s.write.cpu_s + s.read.cpu_s + s.remove.cpu_s);
    std::fflush(stdout);
  }
  return status;
}
