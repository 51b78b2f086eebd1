// tessera_fsinfo: prints the header of an existing file set and the matrices
// of its directory, and changes nothing in its files.
//
// The set is opened the ordinary way (hminmf, hmoldf on a control area sized
// from the record length kept in the first file). The directory is walked in
// key order through the node table the open loaded into the control area, and
// each matrix header is read from its record into memory of the tool's own.
// The tool does not end with hmremf, which would write the set's tables and
// header back (unchanged, but written): it closes the physical files through
// the record-file service, keeping them, and drops the control area, so no
// byte of the files is written.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/lists.h"
#include "control/record_io.h"
#include "recstore.h"
#include "tessera.h"

namespace {

using tessera::WordView;
namespace cw = tessera::cw;
namespace fsw = tessera::fsw;
namespace dw = tessera::dw;
namespace dirw = tessera::dirw;
namespace listw = tessera::listw;
namespace treew = tessera::treew;

int32_t trace_area[21];
int32_t cache_area[64];
int32_t chosky_area[600];

// Record-file service arguments the library itself passes.
int32_t kOpenMode = 5;
int32_t kCloseOne = 1;
int32_t kKeepFile = 1;

// hmoldf refuses a control area too small for its pools with this status; the
// tool then tries again with twice the words.
constexpr int32_t kTooSmall = 101;
constexpr int kSizeAttempts = 5;

void usage(FILE *to) {
  std::fprintf(to,
               "usage: tessera_fsinfo FILE...\n"
               "\n"
               "Prints the header of the file set made of FILE... (in the order they were\n"
               "created with: record r lies in file (r mod n) + 1) and lists its matrices:\n"
               "name, qualifier, header record and offset, and from each stored header the\n"
               "element type, storage form, order and blocks. Nothing is written to the\n"
               "files: they are closed through the record-file service, not with hmremf.\n");
}

void print_trace() {
  std::fprintf(stderr, "error trace (innermost first):");
  for (int32_t i = 1; i <= trace_area[0] && i <= 20; ++i) std::fprintf(stderr, " %d", trace_area[i]);
  std::fprintf(stderr, "\n");
}

// Record length kept in a record file, 0 when it cannot be opened.
int32_t stored_record_length(const char *path) {
  int32_t handle = 0, records = 0, spare = 0, reclen = 0;
  if (DAF_file_open(&handle, path, &kOpenMode, &records, &spare, &reclen) != 0) return 0;
  DAF_file_close(&handle, path, &kCloseOne, &kKeepFile);
  return reclen;
}

// The 12 name bytes of a key, printable characters as they are.
std::string key_name(const int32_t *name_words) {
  char bytes[12];
  std::memcpy(bytes, name_words, sizeof bytes);
  std::string out;
  for (unsigned char ch : bytes) {
    if (std::isprint(ch) && ch != '\\') {
      out += static_cast<char>(ch);
    } else {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\x%02x", ch);
      out += esc;
    }
  }
  return out;
}

void print_list(const char *name, const WordView &fs, int32_t head) {
  std::printf("  %-28s %d records in %d extents (first entry %d, last %d)\n", name,
              fs[head + listw::kTotal], fs[head + listw::kCount], fs[head + listw::kFirst],
              fs[head + listw::kLast]);
}

void print_header(const WordView &fs) {
  char name[tessera::kNameBufferBytes];
  std::printf("file set\n");
  const int32_t files = fs[fsw::kFileCount];
  for (int32_t i = 1; i <= files && i <= fsw::kMaxFiles; ++i) {
    tessera::hm_unpack_name(fs.at(fsw::name_word(i)), name);
    std::printf("  file %-2d %s\n", i, name);
  }
  std::printf("  %-28s %d words\n", "record length", fs[fsw::kRecordLength]);
  std::printf("  %-28s %d from record %d\n", "header records", fs[fsw::kHeaderRecords],
              fs[fsw::kFirstHeaderRecord]);
  std::printf("  %-28s %d\n", "records at creation", fs[fsw::kCreatedRecords]);
  std::printf("  %-28s %d records (growth %d)\n", "index region", fs[fsw::kIndexRegion],
              fs[fsw::kIndexGrowth]);
  std::printf("  %-28s %d records (growth %d)\n", "data region", fs[fsw::kDataRegion],
              fs[fsw::kDataGrowth]);
  std::printf("  %-28s %d records\n", "end of the set", fs[fsw::kEnd]);
  std::printf("  %-28s %d records from record %d, %d entries, %d free\n", "extent table",
              fs[fsw::kTableRecords], fs[fsw::kTableFirstRecord], fs[fsw::kTableCapacity],
              fs[fsw::kTableFree]);
  print_list("list A (free index records)", fs, fsw::kListA);
  print_list("list B (free data records)", fs, fsw::kListB);
  std::printf("  %-28s %d records from record %d, %d nodes, %d free\n", "node table",
              fs[fsw::kNodeRecords], fs[fsw::kNodeFirstRecord], fs[fsw::kNodeCapacity],
              fs[fsw::kNodeFree]);
  std::printf("  %-28s %d (root node %d), %d released nodes\n", "matrices", fs[fsw::kDirCount],
              fs[fsw::kDirRoot], fs[fsw::kReleasedCount]);
  std::printf("  %-28s record %d, last offset %d\n", "current header record",
              fs[fsw::kHeaderRecord], fs[fsw::kHeaderOffset]);
  std::printf("  %-28s %d\n", "cache flag", fs[fsw::kCacheFlag]);
}

// One matrix: its directory node and what its stored header says.
void print_matrix(int32_t *ctrl, int32_t P, const WordView &node, std::vector<int32_t> &record) {
  const WordView fs(ctrl, P);
  const int32_t L = fs[fsw::kRecordLength];
  const int32_t hrec = node[dirw::kHeaderRecord], hoff = node[dirw::kHeaderOffset];
  std::printf("  %-12s %11d %8d %6d", key_name(node.at(dirw::kKey + 1)).c_str(),
              node[dirw::kKey], hrec, hoff);
  if (hrec < 0 || hrec >= fs[fsw::kEnd] || hoff < 1 || hoff > L - dw::kWords + 1) {
    std::printf("  header slot outside the set\n");
    return;
  }
  if (tessera::hm_fileset_read(ctrl, P, 1, hrec, record.data()) != 0) {
    std::printf("  header record unreadable\n");
    return;
  }
  const WordView d(record.data(), hoff);
  std::printf("  %4d %5d %4d %9d %9d %5d %3d %9d\n", d[dw::kType], d[dw::kItems], d[dw::kForm],
              d[dw::kRows], d[dw::kCols], d[dw::kBlockOrder], d[dw::kHyperOrder],
              d[dw::kIndexEntries]);
}

// Walk the directory tree in key order. The node count bounds the walk, so
// a damaged table with a cycle ends instead of looping.
void print_directory(int32_t *ctrl, int32_t P) {
  const WordView fs(ctrl, P);
  const int32_t N = dirw::kLength;
  const int32_t capacity = fs[fsw::kNodeCapacity];
  std::vector<int32_t> record(static_cast<size_t>(fs[fsw::kRecordLength]));
  std::printf("\nmatrices (key order; type, form and sizes from the stored headers)\n");
  std::printf("  %-12s %11s %8s %6s  %4s %5s %4s %9s %9s %5s %3s %9s\n", "name", "qualifier",
              "hdr rec", "offset", "type", "items", "form", "rows", "columns", "nb", "b1",
              "blocks");
  std::vector<int32_t> stack;
  int32_t node = fs[fsw::kDirRoot];
  int32_t visited = 0;
  auto node_view = [&](int32_t i) { return WordView(ctrl, fs[fsw::kNodePos] + (i - 1) * N); };
  while ((node != 0 || !stack.empty()) && visited <= capacity) {
    if (node < 0 || node > capacity) {
      std::printf("  node %d outside the node table: walk stopped\n", node);
      return;
    }
    if (node != 0) {
      stack.push_back(node);
      node = node_view(node)[treew::left(N)];
      if (static_cast<int32_t>(stack.size()) > capacity) break;
      continue;
    }
    node = stack.back();
    stack.pop_back();
    print_matrix(ctrl, P, node_view(node), record);
    ++visited;
    node = node_view(node)[treew::right(N)];
  }
  if (visited != fs[fsw::kDirCount])
    std::printf("  the tree holds %d nodes, the header says %d\n", visited, fs[fsw::kDirCount]);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    usage(stderr);
    return 2;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    usage(stdout);
    return 0;
  }
  if (argc - 1 > tessera::fsw::kMaxFiles) {
    std::fprintf(stderr, "a file set has at most %d files\n", tessera::fsw::kMaxFiles);
    return 2;
  }
  Xerror = reinterpret_cast<char *>(trace_area);
  Xcache = reinterpret_cast<char *>(cache_area);
  Xchosky = reinterpret_cast<char *>(chosky_area);

  const int32_t L = stored_record_length(argv[1]);
  if (L < 1) {
    std::fprintf(stderr, "%s: not a record file that can be opened\n", argv[1]);
    return 1;
  }

  // The pools of a control area are sized from its first file set; the
  // buffer pool, which needs a few dozen records, dominates.
  const int64_t buffer_words = (static_cast<int64_t>(L) + 127) / 128 * 128;
  int64_t length = 96 * buffer_words + 65536;
  std::vector<int32_t> ctrl;
  int32_t nfiles = argc - 1, P = 0, ierr = 0;
  for (int attempt = 0; attempt < kSizeAttempts; ++attempt, length *= 2) {
    if (length > INT32_MAX) break;
    ctrl.assign(static_cast<size_t>(length), 0);
    int32_t len32 = static_cast<int32_t>(length), nfs = 1, ndesc = 1, option = 0;
    hminmf(ctrl.data(), &len32, &nfs, &ndesc, &option, &ierr);
    if (ierr != 0) break;
    // Word 2 only sizes new file sets; hmoldf takes the length from the files.
    hmoldf(ctrl.data(), &nfiles, argv + 1, &P, &ierr);
    if (ierr != kTooSmall) break;
  }
  if (ierr != 0) {
    std::fprintf(stderr, "the file set cannot be opened: ierr %d\n", ierr);
    print_trace();
    return 1;
  }

  const WordView fs(ctrl.data(), P);
  print_header(fs);
  print_directory(ctrl.data(), P);

  // Close without writing: every file through the service, kept.
  int32_t handles[tessera::fsw::kMaxFiles];
  const int32_t n = tessera::hm_gather_handles(ctrl.data(), P, handles);
  int status = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (DAF_file_close(&handles[i], argv[1 + i], &kCloseOne, &kKeepFile) != 0) {
      std::fprintf(stderr, "%s: close failed\n", argv[1 + i]);
      status = 1;
    }
  }
  return status;
}
