// A file set stopped at any instant reopens as its last removal left it. A
// scripted session (matrices created, rewritten in part, killed and created
// again under the same name, a removal and a reopening after every round)
// runs in a child process that is stopped in one of two ways:
//  - killed (SIGKILL) just before its k-th system call on the set's files;
//  - cut off as by a power loss at its k-th call: every write, growth,
//    creation and deletion not yet synced is lost, or kept, at random.
// A fresh control area in the parent then opens the files and compares
// every matrix with a model of each removal's state: the state of the last
// removal that returned 0, or for a stop inside the next removal, that one's
// state. A set whose first removal did not complete must be refused. The
// reopened set must pass the consistency checker, take a new matrix, and
// still read every matrix back (so no free record is still in use).
//
// The CI runs a fixed set of seeds; TESSERA_CRASH_TRIALS=N runs N trials of
// each kind, and TESSERA_CRASH_TIMER=1 kills on a timer after a random
// delay instead of at a counted call.
#define _FILE_OFFSET_BITS 64

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/status.h"
#include "control/fileset_codes.h"
#include "selfcheck/consistency.h"
#include "recstore.h"
#include "tessera.h"
#include "test_support/fileset_fixture.h"
#include "test_support/host.h"

namespace tessera {
namespace {

// Short records and a small area: many blocks, tables over several records,
// and buffers written back before hmrelm.
constexpr int32_t kArea = 60000;
constexpr int32_t kRecord = 128;
constexpr int32_t kTypeDouble = 4;
constexpr int32_t kGeneral = 3;
constexpr int32_t kRounds = 4;

// ---------------------------------------------------------------------------
// The session and its model.

struct Op {
  enum Kind { kNew, kPut, kKill, kRemove } kind;
  int32_t name = 0;
  int32_t rows = 0, cols = 0;            // kNew
  int32_t i1 = 1, nr = 0, j1 = 1, nc = 0;  // kNew (whole matrix) and kPut
  int32_t stamp = 0;                     // values of the put
};

double value(int32_t stamp, int32_t i, int32_t j) { return stamp * 65536.0 + i * 256.0 + j + 0.5; }

struct Dense {
  int32_t rows = 0, cols = 0;
  std::vector<double> v;
};
using State = std::map<int32_t, Dense>;

void apply_op(State &s, const Op &op) {
  if (op.kind == Op::kKill) {
    s.erase(op.name);
    return;
  }
  if (op.kind == Op::kNew) {
    Dense d;
    d.rows = op.rows;
    d.cols = op.cols;
    d.v.assign(static_cast<size_t>(op.rows) * op.cols, 0.0);
    s[op.name] = d;
  }
  if (op.kind == Op::kNew || op.kind == Op::kPut) {
    Dense &d = s[op.name];
    for (int32_t j = op.j1; j < op.j1 + op.nc; ++j)
      for (int32_t i = op.i1; i < op.i1 + op.nr; ++i)
        d.v[static_cast<size_t>(j - 1) * d.rows + (i - 1)] = value(op.stamp, i, j);
  }
}

// Rewriting sessions put into stored matrices, kill them and create them
// again; adding sessions only create new matrices between removals.
std::vector<Op> script(uint32_t seed, bool rewriting) {
  std::mt19937 rng(seed);
  auto pick = [&](int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
  };
  std::vector<Op> ops;
  State model;
  int32_t stamp = 1, next_name = 1;
  auto fresh = [&](int32_t name) {
    Op op{Op::kNew};
    op.name = name;
    op.rows = pick(5, 40);
    op.cols = pick(5, 40);
    op.nr = op.rows;
    op.nc = op.cols;
    op.stamp = stamp++;
    return op;
  };
  for (int32_t round = 0; round < kRounds; ++round) {
    const int32_t steps = pick(2, 5);
    for (int32_t k = 0; k < steps; ++k) {
      Op op{Op::kNew};
      const int32_t what = rewriting && !model.empty() ? pick(0, 5) : 0;
      if (what == 0 || model.size() < 2) {
        op = fresh(next_name++);
      } else {
        auto it = model.begin();
        std::advance(it, pick(0, static_cast<int32_t>(model.size()) - 1));
        if (what <= 3) {
          op.kind = Op::kPut;
          op.name = it->first;
          op.i1 = pick(1, it->second.rows);
          op.nr = pick(1, it->second.rows - op.i1 + 1);
          op.j1 = pick(1, it->second.cols);
          op.nc = pick(1, it->second.cols - op.j1 + 1);
          op.stamp = stamp++;
        } else if (what == 4) {
          op.kind = Op::kKill;
          op.name = it->first;
        } else {
          // Killed and created again under its name, of another shape.
          Op kill{Op::kKill};
          kill.name = it->first;
          ops.push_back(kill);
          apply_op(model, kill);
          op = fresh(kill.name);
        }
      }
      ops.push_back(op);
      apply_op(model, op);
    }
    ops.push_back(Op{Op::kRemove});
  }
  return ops;
}

// The state after each removal: [0] before the first one (nothing stored).
std::vector<State> removal_states(const std::vector<Op> &ops) {
  std::vector<State> out(1);
  State s;
  for (const Op &op : ops) {
    if (op.kind == Op::kRemove) {
      out.push_back(s);
    } else {
      apply_op(s, op);
    }
  }
  return out;
}

struct Name {
  int32_t w[3];
  explicit Name(int32_t id) {
    char bytes[13];
    std::snprintf(bytes, sizeof bytes, "M%-11d", id);
    std::memcpy(w, bytes, sizeof w);
  }
};

// ---------------------------------------------------------------------------
// The child: run the session, reporting each removal on a pipe ('B' before
// it, 'D' once it returned 0). Exits 0 when the session ran to its end.

int32_t put(int32_t *ctrl, int32_t handle, const Op &op) {
  std::vector<double> a(static_cast<size_t>(op.nr) * op.nc);
  for (int32_t j = 0; j < op.nc; ++j)
    for (int32_t i = 0; i < op.nr; ++i)
      a[static_cast<size_t>(j) * op.nr + i] = value(op.stamp, op.i1 + i, op.j1 + j);
  int32_t ierr = -1;
  hmputs(ctrl, &handle, &op.i1, &op.nr, &op.j1, &op.nc, reinterpret_cast<const float *>(a.data()),
         &op.nr, &ierr);
  if (ierr != 0) return ierr;
  hmrelm(ctrl, &handle, &ierr);
  return ierr;
}

int run_session(const std::vector<Op> &ops, std::vector<std::string> names, int report) {
  test::HostAreas host;
  auto ctrl = test::make_control_area(kArea, 1, 8, kRecord);
  if (ctrl.empty()) return 10;
  std::vector<char *> argv;
  for (auto &n : names) argv.push_back(n.data());
  int32_t n = static_cast<int32_t>(names.size()), m = 0, s = 0, P = 0, ierr = -1;
  hmnewf(ctrl.data(), &n, argv.data(), &m, &s, &P, &ierr);
  if (ierr != 0) return 11;
  int32_t q = 1;
  for (const Op &op : ops) {
    Name name(op.name);
    int32_t handle = 0;
    switch (op.kind) {
      case Op::kNew: {
        int32_t type = kTypeDouble, form = kGeneral;
        hmnewm(ctrl.data(), name.w, &q, &P, &type, &form, &op.rows, &op.cols, &handle, &ierr);
        if (ierr != 0 || put(ctrl.data(), handle, op) != 0) return 12;
        break;
      }
      case Op::kPut: {
        int32_t readonly = 0, type = 0, form = 0, rows = 0, cols = 0;
        hmoldm(ctrl.data(), name.w, &q, &P, &readonly, &type, &form, &rows, &cols, &handle, &ierr);
        if (ierr != 0 || put(ctrl.data(), handle, op) != 0) return 13;
        break;
      }
      case Op::kKill:
        hmkilm(ctrl.data(), name.w, &q, &P, &ierr);
        if (ierr != 0) return 14;
        break;
      case Op::kRemove:
        if (::write(report, "B", 1) != 1) return 15;
        hmremf(ctrl.data(), &P, &ierr);
        if (ierr != 0) return 16;
        if (::write(report, "D", 1) != 1) return 15;
        hmoldf(ctrl.data(), &n, argv.data(), &P, &ierr);
        if (ierr != 0) return 17;
        break;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Stopping the child: a count of the service's system calls, and a model of
// the disk that forgets what was not synced.

DAF_system_calls g_real;
int64_t g_calls = 0;
int64_t g_stop_at = 0;  // 0: never
bool g_power = false;
uint32_t g_cut_seed = 0;

struct Change {
  bool size = false;     // a change of length (old_size -> new_size) or a write
  int64_t offset = 0;
  std::vector<char> before, after;
  int64_t old_size = 0, new_size = 0;
};
struct Tracked {
  int fd = -1;  // our own descriptor, kept after the service closes its own
  std::vector<Change> unsynced;
};
struct DirChange {
  ino_t dir;
  std::string dir_path, name, hidden;  // hidden: where a deleted file waits
};

std::map<ino_t, Tracked> g_files;
std::vector<DirChange> g_dir_changes;
int g_hidden_count = 0;

int64_t file_size(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

std::string dir_of(int dirfd, const char *path) {
  std::string p = path;
  std::string dir;
  if (dirfd == AT_FDCWD) {
    const size_t slash = p.rfind('/');
    dir = slash == std::string::npos ? "." : p.substr(0, slash);
  } else {
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    const ssize_t len = ::readlink(link, target, sizeof target - 1);
    dir = len > 0 ? std::string(target, static_cast<size_t>(len)) : ".";
    const size_t slash = p.rfind('/');
    if (slash != std::string::npos) dir += "/" + p.substr(0, slash);
  }
  return dir;
}

std::string base_of(const char *path) {
  const char *slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

ino_t inode_of(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

Tracked *tracked(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  Tracked &t = g_files[st.st_ino];
  if (t.fd < 0) t.fd = ::dup(fd);
  return &t;
}

// The machine stops: every file goes back to what was synced, then each
// unsynced change comes back or not (a write in part, by whole sectors, now
// and then); unsynced creations and deletions of names hold or not.
[[noreturn]] void power_cut() {
  std::mt19937 rng(g_cut_seed);
  auto coin = [&] { return (rng() & 1) != 0; };
  for (auto &[inode, t] : g_files) {
    for (auto c = t.unsynced.rbegin(); c != t.unsynced.rend(); ++c) {
      if (c->size) {
        (void)!::ftruncate(t.fd, c->old_size);
        if (!c->before.empty()) (void)!::pwrite(t.fd, c->before.data(), c->before.size(), c->new_size);
      } else {
        if (!c->before.empty()) (void)!::pwrite(t.fd, c->before.data(), c->before.size(), c->offset);
        if (c->old_size < c->offset + static_cast<int64_t>(c->after.size()))
          (void)!::ftruncate(t.fd, c->old_size);
      }
    }
    for (const Change &c : t.unsynced) {
      if (!coin()) continue;
      if (c.size) {
        (void)!::ftruncate(t.fd, c.new_size);
      } else {
        size_t bytes = c.after.size();
        if (bytes > 512 && rng() % 8 == 0) bytes = 512 * (rng() % (bytes / 512));
        (void)!::pwrite(t.fd, c.after.data(), bytes, c.offset);
      }
    }
  }
  for (auto d = g_dir_changes.rbegin(); d != g_dir_changes.rend(); ++d) {
    const std::string path = d->dir_path + "/" + d->name;
    if (d->hidden.empty()) {
      if (coin()) ::unlink(path.c_str());  // the creation is lost
    } else if (coin()) {
      ::rename((d->dir_path + "/" + d->hidden).c_str(), path.c_str());  // the deletion is
    } else {
      ::unlink((d->dir_path + "/" + d->hidden).c_str());
    }
  }
  ::_exit(0);
}

void next_call() {
  ++g_calls;
  if (g_stop_at == 0 || g_calls < g_stop_at) return;
  if (g_power) power_cut();
  ::raise(SIGKILL);
}

int c_open_at(int dirfd, const char *path, int flags, int mode) {
  next_call();
  struct stat st;
  const bool existed = ::fstatat(dirfd, path, &st, 0) == 0;
  std::vector<char> before;
  int64_t old_size = 0;
  if (existed && (flags & O_TRUNC) != 0 && S_ISREG(st.st_mode)) {
    const int old = ::openat(dirfd, path, O_RDONLY);
    old_size = file_size(old);
    before.resize(static_cast<size_t>(old_size));
    (void)!::pread(old, before.data(), before.size(), 0);
    ::close(old);
  }
  const int fd = g_real.open_at(dirfd, path, flags, mode);
  if (fd < 0 || !g_power) return fd;
  Tracked *t = tracked(fd);
  if (t != nullptr && existed && (flags & O_TRUNC) != 0 && old_size > 0) {
    Change c;
    c.size = true;
    c.old_size = old_size;
    c.new_size = 0;
    c.before = std::move(before);
    t->unsynced.push_back(std::move(c));
  }
  if (!existed && (flags & O_CREAT) != 0) {
    const std::string dir = dir_of(dirfd, path);
    g_dir_changes.push_back({inode_of(dir), dir, base_of(path), ""});
  }
  return fd;
}

int c_close(int fd) {
  next_call();
  return g_real.close(fd);
}

int64_t c_pread(int fd, void *buf, size_t n, int64_t at) {
  next_call();
  return g_real.pread(fd, buf, n, at);
}

int64_t c_pwrite(int fd, const void *buf, size_t n, int64_t at) {
  next_call();
  if (g_power) {
    if (Tracked *t = tracked(fd)) {
      Change c;
      c.offset = at;
      c.old_size = file_size(fd);
      const int64_t have = std::max<int64_t>(0, std::min<int64_t>(c.old_size - at, n));
      c.before.resize(static_cast<size_t>(have));
      if (have > 0) (void)!::pread(fd, c.before.data(), c.before.size(), at);
      c.after.assign(static_cast<const char *>(buf), static_cast<const char *>(buf) + n);
      t->unsynced.push_back(std::move(c));
    }
  }
  return g_real.pwrite(fd, buf, n, at);
}

int c_ftruncate(int fd, int64_t length) {
  next_call();
  if (g_power) {
    if (Tracked *t = tracked(fd)) {
      Change c;
      c.size = true;
      c.old_size = file_size(fd);
      c.new_size = length;
      if (length < c.old_size) {
        c.before.resize(static_cast<size_t>(c.old_size - length));
        (void)!::pread(fd, c.before.data(), c.before.size(), length);
      }
      t->unsynced.push_back(std::move(c));
    }
  }
  return g_real.ftruncate(fd, length);
}

void synced(int fd) {
  if (!g_power) return;
  struct stat st;
  if (::fstat(fd, &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    std::vector<DirChange> keep;
    for (DirChange &d : g_dir_changes) {
      if (d.dir != st.st_ino) {
        keep.push_back(d);
      } else if (!d.hidden.empty()) {
        ::unlink((d.dir_path + "/" + d.hidden).c_str());
      }
    }
    g_dir_changes.swap(keep);
  } else {
    g_files[st.st_ino].unsynced.clear();
  }
}

int c_fdatasync(int fd) {
  next_call();
  const int rc = g_real.fdatasync(fd);
  if (rc == 0) synced(fd);
  return rc;
}

int c_fsync(int fd) {
  next_call();
  const int rc = g_real.fsync(fd);
  if (rc == 0) synced(fd);
  return rc;
}

int c_unlink_at(int dirfd, const char *path) {
  next_call();
  if (!g_power) return g_real.unlink_at(dirfd, path);
  struct stat st;
  if (::fstatat(dirfd, path, &st, 0) != 0) return g_real.unlink_at(dirfd, path);
  // Kept under another name until the directory is synced.
  const std::string dir = dir_of(dirfd, path);
  const std::string hidden = ".gone" + std::to_string(++g_hidden_count);
  if (::renameat(dirfd, path, AT_FDCWD, (dir + "/" + hidden).c_str()) != 0) return -1;
  g_dir_changes.push_back({inode_of(dir), dir, base_of(path), hidden});
  return 0;
}

const DAF_system_calls kCounting = {c_open_at, c_close,     c_pread, c_pwrite,
                                    c_ftruncate, c_fdatasync, c_fsync, c_unlink_at};

enum class Stop { kNone, kKill, kPower, kTimer };

struct Outcome {
  int64_t calls = 0;   // system calls the session made (kNone)
  std::string report;  // what the child wrote on the pipe
  bool finished = false;
  double seconds = 0;
};

Outcome run_child(const std::vector<Op> &ops, const std::vector<std::string> &names, Stop stop,
                  int64_t at, uint32_t cut_seed, double delay = 0) {
  Outcome out;
  int fds[2];
  if (::pipe(fds) != 0) return out;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (stop != Stop::kTimer) {
      g_stop_at = stop == Stop::kNone ? 0 : at;
      g_power = stop == Stop::kPower;
      g_cut_seed = cut_seed;
      DAF_set_system_calls(&kCounting, &g_real);
    }
    const int rc = run_session(ops, names, fds[1]);
    if (rc == 0 && stop == Stop::kNone) {
      const std::string count = "C" + std::to_string(g_calls);
      (void)!::write(fds[1], count.data(), count.size());
    }
    ::_exit(rc);
  }
  ::close(fds[1]);
  if (stop == Stop::kTimer) {
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    ::kill(pid, SIGKILL);
  }
  char buf[256];
  ssize_t got;
  while ((got = ::read(fds[0], buf, sizeof buf)) > 0) out.report.append(buf, static_cast<size_t>(got));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  out.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  const size_t c = out.report.find('C');
  if (c != std::string::npos) {
    out.calls = std::atoll(out.report.c_str() + c + 1);
    out.report.resize(c);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0) out.report += "!exit" + std::to_string(WEXITSTATUS(status));
  return out;
}

// ---------------------------------------------------------------------------
// The parent: open the files in a fresh area and compare.

// "" when the set at P holds exactly the state s (and no matrix of `names`
// that s lacks); otherwise what differs.
std::string compare(int32_t *ctrl, int32_t P, const State &s, int32_t names) {
  int32_t q = 1;
  for (int32_t id = 1; id <= names; ++id) {
    Name name(id);
    auto it = s.find(id);
    int32_t state = 0;
    hminqm(ctrl, name.w, &q, &P, &state);
    if (it == s.end()) {
      if (state != -1) return "M" + std::to_string(id) + " is stored and should not be";
      continue;
    }
    const Dense &d = it->second;
    int32_t readonly = 1, type = 0, form = 0, rows = 0, cols = 0, handle = 0, ierr = -1;
    hmoldm(ctrl, name.w, &q, &P, &readonly, &type, &form, &rows, &cols, &handle, &ierr);
    if (ierr != 0) return "M" + std::to_string(id) + " does not open: " + std::to_string(ierr);
    std::string why;
    if (rows != d.rows || cols != d.cols) {
      why = "M" + std::to_string(id) + " has another shape";
    } else {
      std::vector<double> a(d.v.size(), -1.0);
      int32_t one = 1;
      hmgets(ctrl, &handle, &one, &rows, &one, &cols, reinterpret_cast<float *>(a.data()), &rows,
             &ierr);
      if (ierr != 0) {
        why = "M" + std::to_string(id) + " does not read: " + std::to_string(ierr);
      } else if (a != d.v) {
        why = "M" + std::to_string(id) + " holds other values";
      }
    }
    hmrelm(ctrl, &handle, &ierr);
    if (why.empty() && ierr != 0) why = "M" + std::to_string(id) + " does not release";
    if (!why.empty()) return why;
  }
  return "";
}

// Which removal's state the reopened set holds, or -1 when it was refused
// (as it must be before a first removal), or a message when it holds no
// state it may hold.
struct Verdict {
  int32_t state = -2;
  std::string error;
};

Verdict verify_in(const std::vector<std::string> &names, const std::vector<State> &states,
                  int32_t done, bool inside, int32_t max_name) {
  Verdict v;
  test::HostAreas host;
  auto ctrl = test::make_control_area(kArea, 1, 8);
  std::vector<std::string> copy = names;
  std::vector<char *> argv;
  for (auto &n : copy) argv.push_back(n.data());
  int32_t n = static_cast<int32_t>(names.size()), P = 0, ierr = -1;
  hmoldf(ctrl.data(), &n, argv.data(), &P, &ierr);
  if (ierr != 0) {
    if (done == 0) {
      v.state = -1;
    } else {
      v.error = "refused with " + std::to_string(ierr) + " after removal " + std::to_string(done);
    }
    return v;
  }
  std::string why;
  for (int32_t r : {done, done + 1}) {
    if (r == 0 || (r == done + 1 && !inside) || r >= static_cast<int32_t>(states.size())) continue;
    why = compare(ctrl.data(), P, states[static_cast<size_t>(r)], max_name);
    if (why.empty()) {
      v.state = r;
      break;
    }
  }
  if (v.state < 0) {
    v.error = "after removal " + std::to_string(done) + (inside ? " (inside the next)" : "") +
              ": " + why;
    return v;
  }
  if (!hm_check_fileset(ctrl.data(), P, &why)) {
    v.error = "inconsistent set: " + why;
    return v;
  }
  // A new matrix takes free records: none of them may belong to a stored one.
  Op filler{Op::kNew};
  filler.name = max_name + 1;
  filler.rows = filler.cols = filler.nr = filler.nc = 40;
  filler.stamp = 9999;
  Name fname(filler.name);
  int32_t q = 1, type = kTypeDouble, form = kGeneral, handle = 0;
  hmnewm(ctrl.data(), fname.w, &q, &P, &type, &form, &filler.rows, &filler.cols, &handle, &ierr);
  if (ierr != 0 || put(ctrl.data(), handle, filler) != 0) {
    v.error = "a new matrix cannot be stored";
    return v;
  }
  State with = states[static_cast<size_t>(v.state)];
  apply_op(with, filler);
  why = compare(ctrl.data(), P, with, filler.name);
  if (!why.empty()) v.error = "after a new matrix: " + why;
  hmkilf(ctrl.data(), &P, &ierr);
  return v;
}

// In areas of its own: the caller's linked areas are given back afterwards.
Verdict verify(const std::vector<std::string> &names, const std::vector<State> &states,
               int32_t done, bool inside, int32_t max_name) {
  char *const linked[3] = {Xerror, Xcache, Xchosky};
  const Verdict v = verify_in(names, states, done, inside, max_name);
  Xerror = linked[0];
  Xcache = linked[1];
  Xchosky = linked[2];
  return v;
}

int64_t env_count(const char *name, int64_t fallback) {
  const char *v = std::getenv(name);
  return v != nullptr && std::atoll(v) > 0 ? std::atoll(v) : fallback;
}

struct Tally {
  int trials = 0, refused = 0, mid_session = 0, new_state = 0, wrong = 0;
  std::map<int32_t, int> by_state;
};

void run_trials(Stop stop, int64_t trials, uint32_t first_seed, Tally &tally) {
  const bool timer = stop == Stop::kKill && env_count("TESSERA_CRASH_TIMER", 0) != 0;
  for (int64_t t = 0; t < trials; ++t) {
    const uint32_t seed = first_seed + static_cast<uint32_t>(t);
    const bool rewriting = seed % 4 != 0;
    const std::vector<Op> ops = script(seed, rewriting);
    const std::vector<State> states = removal_states(ops);
    int32_t max_name = 0;
    for (const Op &op : ops) max_name = std::max(max_name, op.name);
    const std::string dir = test::temp_dir();
    std::vector<std::string> names = test::fileset_names(dir, 1 + static_cast<int32_t>(seed % 3));

    // A whole session first: its count of calls, and a check that it runs.
    const Outcome whole = run_child(ops, names, Stop::kNone, 0, 0);
    ASSERT_TRUE(whole.finished) << "seed " << seed << ": the session failed " << whole.report;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);

    std::mt19937_64 rng(seed * 7919ULL + static_cast<uint64_t>(stop));
    const int64_t at = 1 + static_cast<int64_t>(rng() % static_cast<uint64_t>(whole.calls));
    const double delay = std::uniform_real_distribution<double>(0, whole.seconds)(rng);
    const Outcome o =
        run_child(ops, names, timer ? Stop::kTimer : stop, at, static_cast<uint32_t>(rng()), delay);
    const int32_t done = static_cast<int32_t>(std::count(o.report.begin(), o.report.end(), 'D'));
    const bool inside = !o.report.empty() && o.report.back() == 'B';
    ASSERT_EQ(o.report.find('!'), std::string::npos) << "seed " << seed << ": " << o.report;

    const Verdict v = verify(names, states, done, inside, max_name);
    ++tally.trials;
    ++tally.by_state[v.state];
    if (!v.error.empty()) {
      ++tally.wrong;
      ADD_FAILURE() << "seed " << seed << (rewriting ? " (rewriting" : " (adding")
                    << " session, stopped at call " << at << " of " << whole.calls
                    << "): " << v.error;
    } else if (v.state == -1) {
      ++tally.refused;
    } else {
      if (done >= 1 && done < kRounds && !inside) ++tally.mid_session;
      if (inside && v.state == done + 1) ++tally.new_state;
    }
    std::filesystem::remove_all(dir);
  }
}

void print(const char *what, const Tally &t) {
  std::printf("%s: %d trials, %d wrong, %d refused before a first removal, %d stopped between "
              "removals, %d inside a removal past its commit; by reopened state:",
              what, t.trials, t.wrong, t.refused, t.mid_session, t.new_state);
  for (auto &[state, count] : t.by_state) std::printf(" %d:%d", state, count);
  std::printf("\n");
}

TEST(Crash, KilledSessionsReopenAtTheirLastRemoval) {
  Tally tally;
  run_trials(Stop::kKill, env_count("TESSERA_CRASH_TRIALS", 16), 1000, tally);
  print("killed", tally);
  EXPECT_EQ(tally.wrong, 0);
  // Not a vacuous pass: many stops fall between removals of a stored set, or
  // inside a removal after its commit.
  EXPECT_GT(tally.mid_session + tally.new_state, tally.trials / 4);
}

TEST(Crash, PowerLossKeepsTheLastRemovalThatReturned) {
  Tally tally;
  run_trials(Stop::kPower, env_count("TESSERA_CRASH_TRIALS", 16), 5000, tally);
  print("power loss", tally);
  EXPECT_EQ(tally.wrong, 0);
  EXPECT_GT(tally.mid_session + tally.new_state, tally.trials / 4);
}

// A removal whose commit is refused (the disk will not sync) fails with
// status 165 and its own trace code, leaves the previous removal's state on
// disk, and goes through when tried again.
int g_refusals = 0;
int refusing_fdatasync(int fd) {
  if (g_refusals > 0) {
    --g_refusals;
    errno = EIO;
    return -1;
  }
  return g_real.fdatasync(fd);
}

TEST(Crash, ARefusedCommitLeavesThePreviousRemoval) {
  test::HostAreas host;
  auto ctrl = test::make_control_area(kArea, 1, 8, kRecord);
  test::FileSet set = test::create_fileset(ctrl, 2);
  ASSERT_EQ(set.ierr, 0);
  Op first{Op::kNew};
  first.name = 1;
  first.rows = first.cols = first.nr = first.nc = 30;
  first.stamp = 1;
  Op second = first;
  second.kind = Op::kPut;
  second.stamp = 2;
  State before, after;
  apply_op(before, first);
  after = before;
  apply_op(after, second);

  Name name(1);
  int32_t q = 1, type = kTypeDouble, form = kGeneral, handle = 0, ierr = -1;
  hmnewm(ctrl.data(), name.w, &q, &set.handle, &type, &form, &first.rows, &first.cols, &handle,
         &ierr);
  ASSERT_EQ(ierr, 0);
  ASSERT_EQ(put(ctrl.data(), handle, first), 0);
  ASSERT_EQ(test::remove_fileset(ctrl, set), 0);
  ASSERT_EQ(test::reopen_fileset(ctrl, set), 0);
  int32_t readonly = 0, rows = 0, cols = 0;
  hmoldm(ctrl.data(), name.w, &q, &set.handle, &readonly, &type, &form, &rows, &cols, &handle,
         &ierr);
  ASSERT_EQ(ierr, 0);
  ASSERT_EQ(put(ctrl.data(), handle, second), 0);

  DAF_system_calls refusing;
  DAF_set_system_calls(nullptr, &g_real);
  refusing = g_real;
  refusing.fdatasync = refusing_fdatasync;
  g_refusals = 1;
  DAF_set_system_calls(&refusing, nullptr);
  const int32_t refused = test::remove_fileset(ctrl, set);
  DAF_set_system_calls(nullptr, nullptr);
  EXPECT_EQ(refused, status::kRecordWrite);
  EXPECT_EQ(host.trace_codes(), std::vector<int32_t>{trace::kRemCommit});
  std::string why;
  EXPECT_TRUE(hm_check_control(ctrl.data(), &why)) << why;

  // The files as they are now, without the journal: the previous removal.
  const std::string copies = test::temp_dir();
  std::vector<std::string> copy_names = test::fileset_names(copies, 2);
  for (int i = 0; i < 2; ++i) std::filesystem::copy_file(set.names[i], copy_names[i]);
  const Verdict v = verify(copy_names, {State(), before, after}, 1, false, 1);
  EXPECT_EQ(v.error, "");
  EXPECT_EQ(v.state, 1);

  ASSERT_EQ(test::remove_fileset(ctrl, set), 0);
  const Verdict w = verify(set.names, {State(), before, after}, 2, false, 1);
  EXPECT_EQ(w.error, "");
  EXPECT_EQ(w.state, 2);
  std::filesystem::remove_all(copies);
  std::filesystem::remove_all(set.dir);
}

}  // namespace
}  // namespace tessera
