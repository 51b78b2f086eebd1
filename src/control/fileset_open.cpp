// Creating and opening file sets: hmnewf and hmoldf, the file-set slots, the
// set's tables and pair stacks, and the layout of the control area's pools,
// which the first file set of a freshly initialised area sizes.
//
// A set read back from disk is never trusted: before its stored header and
// tables are used, every word that positions something in the control area
// or in the set's records is checked against the files themselves, and a set
// that fails is refused with status 164, leaving the control area as it was.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <cstring>

#include "catalogue/pools.h"
#include "catalogue/descriptor_words.h"
#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/fileset.h"
#include "control/fileset_codes.h"
#include "control/lists.h"
#include "control/record_io.h"
#include "control/trace.h"
#include "platsvc.h"
#include "recstore.h"
#include "tessera.h"
#include "transfer/transfer_words.h"

namespace tessera {
namespace {

constexpr int32_t kCreateMode = 2;
constexpr int32_t kCreateFlag = -1;
constexpr int32_t kOpenMode = 5;
constexpr int32_t kKeep = 1;
constexpr int32_t kDelete = 2;
constexpr int32_t kMinRecordLength = 128;
constexpr int32_t kCacheKindOnOpen = 2;
// Index region at least 50 records, or 200 in a control area this large.
constexpr int64_t kLargeArea = 950000;
constexpr int32_t kSmallIndexRegion = 50;
constexpr int32_t kLargeIndexRegion = 200;
// Nodes of the spare node list and pair-pool entries a new set asks for.
constexpr int32_t kNewPairEntries = 128;
constexpr int32_t kNewSpareNodes = 128;
constexpr int32_t kDirectoryNodeWords = 12;
constexpr int32_t kBufferHeaderWords = 14;
constexpr int32_t kExtentsPerIndexRecord = 40;   // 40 M words of extent table
constexpr int32_t kNodesPerIndexRecord = 24;     // 24 M words of node table
// Control-area words a failed first set-up puts back (pool words included).
constexpr int32_t kSnapshotFirst = cw::kNextFree;
constexpr int32_t kSnapshotLast = cw::kReservedBuffers;
constexpr int32_t kSnapshotWords = kSnapshotLast - kSnapshotFirst + 1;

int64_t ceil_div(int64_t a, int64_t b) { return (a + b - 1) / b; }

// Round a position up: keep it when position - 1 is a multiple of g.
int64_t round_up(int64_t position, int64_t g) { return ceil_div(position - 1, g) * g + 1; }

int32_t floor_log2(int64_t v) {
  int32_t k = 0;
  while (v > 1) {
    v >>= 1;
    ++k;
  }
  return k;
}

bool fits(int64_t v) { return v >= 0 && v <= INT32_MAX; }

// Link one free extent (length, first) as the only extent of an empty list
// whose table begins at control word `table`; free entries at slots[0..1].
void link_only_extent(WordView c, int32_t table, int32_t slots, int32_t list, int32_t length,
                      int32_t first) {
  const int32_t e = hm_list_take(c.at(table), extw::kWords, c[slots], c[slots + 1]);
  WordView entry(c.at(1), table + (e - 1) * extw::kWords);
  entry[extw::kNext] = 0;
  entry[extw::kPrev] = 0;
  entry[extw::kLength] = length;
  entry[extw::kFirst] = first;
  c[list + listw::kTotal] = length;
  c[list + listw::kCount] = 1;
  c[list + listw::kFirst] = e;
  c[list + listw::kLast] = e;
}

struct Snapshot {
  int32_t words[kSnapshotWords];
  void take(WordView c) {
    for (int32_t i = 0; i < kSnapshotWords; ++i) words[i] = c[kSnapshotFirst + i];
  }
  void restore(WordView c) const {
    for (int32_t i = 0; i < kSnapshotWords; ++i) c[kSnapshotFirst + i] = words[i];
  }
};

bool name_too_long(int32_t n, const char *const *names) {
  for (int32_t i = 0; i < n; ++i) {
    if (std::strlen(names[i]) > static_cast<size_t>(kPackedNameChars)) return true;
  }
  return false;
}

// Does the packed name equal the name of a file of a set open in this area?
bool name_in_use(WordView c, const int32_t *packed) {
  for (int32_t s = 1; s <= c[cw::kFsSlots]; ++s) {
    if (c[c[cw::kFsLinks] + s - 1] != cw::kSlotInUse) continue;
    WordView fs(c.at(1), c[cw::kFsArea1] + (s - 1) * cw::kFilesetAreaWords);
    const int32_t files = std::min(fs[fsw::kFileCount], fsw::kMaxFiles);
    for (int32_t i = 1; i <= files; ++i) {
      if (std::memcmp(fs.at(fsw::open_name_word(i)), packed, kPackedNameWords * sizeof(int32_t)) ==
          0) {
        return true;
      }
    }
  }
  return false;
}

// Put names and handles of files 1..n into the file-set area.
void store_files(WordView fs, int32_t n, const char *const *names, const int32_t *handles,
                 bool with_first_name) {
  if (with_first_name) hm_pack_name(names[0], fs.at(fsw::kName1));
  hm_pack_name(names[0], fs.at(fsw::kOpenName1));
  fs[fsw::kHandle1] = handles[0];
  fs[fsw::kFileCount] = n;
  for (int32_t i = 2; i <= n; ++i) {
    hm_pack_name(names[i - 1], fs.at(fsw::name_word(i)));
    fs[fsw::handle_word(i)] = handles[i - 1];
  }
}

// The two pair stacks of a set (first of capacity 10, second deep enough for
// a search over the whole area).
int32_t take_pair_stacks(int32_t *ctrl, WordView fs) {
  WordView c = control_view(ctrl);
  fs[fsw::kStack1Capacity] = fsw::kFirstStackCapacity;
  int32_t ierr = hm_pair_alloc(ctrl, 2 * fs[fsw::kStack1Capacity], fs[fsw::kStack1]);
  if (ierr != 0) return ierr;
  fs[fsw::kStack1Depth] = 0;
  fs[fsw::kStack2Capacity] = 2 * floor_log2(c[cw::kLastPoolWord]) + 2;
  ierr = hm_pair_alloc(ctrl, 2 * fs[fsw::kStack2Capacity], fs[fsw::kStack2]);
  if (ierr != 0) return ierr;
  fs[fsw::kStack2Depth] = 0;
  return status::kOk;
}

// Clean-up after a failed open or create: close every file of the set.
// A close failure replaces the status with 162 and pushes `code`.
int32_t close_after_failure(int32_t ierr, int32_t n, const char *const *names, int32_t *handles,
                            int32_t disposition, int32_t code) {
  if (hm_close_files(n, names, disposition, handles, true) != 0) {
    hm_push_trace(code);
    return status::kFileClose;
  }
  return ierr;
}

// Header words of a stored set that position something in the control area
// or in the set's records, checked against the files (n of them, each with
// at least `least_records` records) and the record length L they report.
bool header_sound(WordView fs, int32_t L, bool fresh) {
  const int64_t h = (int64_t{L} + 99) / L;
  if (fs[fsw::kRecordLength] != L || fs[fsw::kHeaderRecords] != h ||
      fs[fsw::kFirstHeaderRecord] != 0) {
    return false;
  }
  const int32_t created = fs[fsw::kCreatedRecords];
  const int32_t end = fs[fsw::kEnd];
  if (created < 0 || end < created || end < h) return false;
  // Extent table and node table: whole records inside the set, after the
  // header, with capacities that fit the records they are read into.
  auto table_sound = [&](int32_t records, int32_t first, int32_t capacity, int32_t entry_words) {
    if (records < 1 || first < h || int64_t{first} + records > end) return false;
    const int64_t words = int64_t{records} * L;
    if (!fits(words)) return false;
    return capacity >= 1 && int64_t{capacity} * entry_words <= words;
  };
  if (!table_sound(fs[fsw::kTableRecords], fs[fsw::kTableFirstRecord], fs[fsw::kTableCapacity],
                   extw::kWords) ||
      !table_sound(fs[fsw::kNodeRecords], fs[fsw::kNodeFirstRecord], fs[fsw::kNodeCapacity],
                   kDirectoryNodeWords)) {
    return false;
  }
  auto in = [](int32_t v, int32_t hi) { return v >= 0 && v <= hi; };
  const int32_t entries = fs[fsw::kTableCapacity];
  const int32_t nodes = fs[fsw::kNodeCapacity];
  if (!in(fs[fsw::kTableFree], entries) || !in(fs[fsw::kTableFirstFree], entries)) return false;
  for (int32_t list : {fsw::kListA, fsw::kListB}) {
    if (fs[list + listw::kTotal] < 0 || !in(fs[list + listw::kCount], entries) ||
        !in(fs[list + listw::kFirst], entries) || !in(fs[list + listw::kLast], entries)) {
      return false;
    }
  }
  for (int32_t w = fsw::kNodeFree; w <= fsw::kReleasedLast; ++w) {
    if (!in(fs[w], nodes)) return false;
  }
  // Where the next matrix header goes: a header record of the set and an
  // offset inside a record.
  if (!in(fs[fsw::kHeaderRecord], end - 1) || fs[fsw::kHeaderOffset] < 1 ||
      fs[fsw::kHeaderOffset] > L) {
    return false;
  }
  // Sizes the first set of a control area lays the pools out with.
  if (fresh) {
    const int32_t unit = fs[fsw::kCopiedUnitSize];
    const int32_t buffer = fs[fsw::kCopiedBufferSize];
    if (unit < 1 || buffer < L || fs[fsw::kCopiedPairEntries] < 1 ||
        fs[fsw::kCopiedSpareCount] < 0 || fs[fsw::kCopiedUnitPerMatrix] < 0) {
      return false;
    }
  }
  return true;
}

// Record counts: the set's ends must be shared evenly by the n files given,
// and every file must hold its share.
bool file_count_sound(WordView fs, int32_t n, const int32_t *records) {
  if (fs[fsw::kCreatedRecords] % n != 0 || fs[fsw::kEnd] % n != 0) return false;
  for (int32_t i = 0; i < n; ++i) {
    if (records[i] < fs[fsw::kEnd] / n) return false;
  }
  return true;
}

// Walk one extent list of the loaded table: every entry in range, linked
// both ways, sorted (which also rules out cycles), inside records
// 0 .. end - 1, with the count and total the list head states.
bool extent_list_sound(WordView table, int32_t capacity, const int32_t *list, int32_t end) {
  const int32_t count = list[listw::kCount];
  int32_t e = list[listw::kFirst];
  int32_t prev = 0;
  int64_t total = 0;
  int64_t next_free_record = 0;
  for (int32_t k = 0; k < count; ++k) {
    if (e < 1 || e > capacity) return false;
    WordView entry(table.at(1), 1 + (e - 1) * extw::kWords);
    const int32_t length = entry[extw::kLength];
    const int32_t first = entry[extw::kFirst];
    if (entry[extw::kPrev] != prev || length < 1 || first < next_free_record ||
        int64_t{first} + length > end) {
      return false;
    }
    total += length;
    next_free_record = int64_t{first} + length;
    prev = e;
    e = entry[extw::kNext];
  }
  return e == 0 && list[listw::kLast] == prev && total == list[listw::kTotal];
}

// No record is free in both lists (both already walked and sorted): a merge
// walk over the two.
bool lists_disjoint(WordView table, const int32_t *a, const int32_t *b) {
  int32_t x = a[listw::kFirst];
  int32_t y = b[listw::kFirst];
  while (x != 0 && y != 0) {
    WordView ex(table.at(1), 1 + (x - 1) * extw::kWords);
    WordView ey(table.at(1), 1 + (y - 1) * extw::kWords);
    const int64_t x_end = int64_t{ex[extw::kFirst]} + ex[extw::kLength];
    const int64_t y_end = int64_t{ey[extw::kFirst]} + ey[extw::kLength];
    if (ex[extw::kFirst] < y_end && ey[extw::kFirst] < x_end) return false;
    if (x_end <= ey[extw::kFirst]) {
      x = ex[extw::kNext];
    } else {
      y = ey[extw::kNext];
    }
  }
  return true;
}

// A chain of `count` slots through word 1 of `stride`-word nodes, from
// `head`, every slot in 1..capacity.
bool chain_sound(WordView nodes, int32_t stride, int32_t capacity, int32_t head, int32_t count) {
  int32_t x = head;
  for (int32_t k = 0; k < count; ++k) {
    if (x < 1 || x > capacity) return false;
    x = nodes[1 + (x - 1) * stride];
  }
  return x >= 0 && x <= capacity;
}

// The loaded extent table and node table of an opened set.
bool tables_sound(int32_t *ctrl, WordView fs) {
  WordView table(ctrl, fs[fsw::kTablePos]);
  const int32_t entries = fs[fsw::kTableCapacity];
  const int32_t end = fs[fsw::kEnd];
  if (!extent_list_sound(table, entries, fs.at(fsw::kListA), end) ||
      !extent_list_sound(table, entries, fs.at(fsw::kListB), end) ||
      !lists_disjoint(table, fs.at(fsw::kListA), fs.at(fsw::kListB)) ||
      !chain_sound(table, extw::kWords, entries, fs[fsw::kTableFirstFree], fs[fsw::kTableFree])) {
    return false;
  }

  const int32_t nodes = fs[fsw::kNodeCapacity];
  WordView node_table(ctrl, fs[fsw::kNodePos]);
  if (!chain_sound(node_table, kDirectoryNodeWords, nodes, fs[fsw::kNodeFirstFree],
                   fs[fsw::kNodeFree]) ||
      !chain_sound(node_table, kDirectoryNodeWords, nodes, fs[fsw::kReleasedFirst],
                   fs[fsw::kReleasedCount])) {
    return false;
  }
  // The directory tree, walked from its root with the set's second pair
  // stack (deep enough for any balanced tree of the area): links in range,
  // each child pointing back at its parent, no more nodes than counted.
  const int32_t root = fs[fsw::kDirRoot];
  if (root == 0) return fs[fsw::kDirCount] == 0;
  if (node_table[1 + (root - 1) * kDirectoryNodeWords + treew::parent(kDirectoryNodeWords) - 1] !=
      0) {
    return false;
  }
  int32_t *stack = word_at(ctrl, fs[fsw::kStack2]);
  const int32_t capacity = 2 * fs[fsw::kStack2Capacity];
  int32_t depth = 0;
  int32_t visited = 0;
  stack[depth++] = root;
  while (depth > 0) {
    const int32_t x = stack[--depth];
    if (++visited > fs[fsw::kDirCount]) return false;
    WordView node(node_table.at(1), 1 + (x - 1) * kDirectoryNodeWords);
    for (int32_t w : {treew::left(kDirectoryNodeWords), treew::right(kDirectoryNodeWords)}) {
      const int32_t child = node[w];
      if (child == 0) continue;
      if (child < 1 || child > nodes || depth >= capacity) return false;
      if (node_table[1 + (child - 1) * kDirectoryNodeWords + treew::parent(kDirectoryNodeWords) -
                     1] != x) {
        return false;
      }
      stack[depth++] = child;
    }
  }
  return visited == fs[fsw::kDirCount];
}

}  // namespace

// ---------------------------------------------------------------------------
// Files, slots, the cache words.

void hm_cache_setup() {
  int32_t *x = cache_words();
  x[cachew::kKind] = kCacheKindOnOpen;
  x[cachew::kState] = 0;
}

int32_t hm_create_files(int32_t *ctrl, int32_t n, const char *const *names, int32_t N, int32_t L,
                        int32_t *handles) {
  WordView c = control_view(ctrl);
  // Refuse before anything is deleted when a name belongs to an open set:
  // deleting it would pull the files from under that set.
  for (int32_t i = 0; i < n; ++i) {
    int32_t packed[kPackedNameWords];
    hm_pack_name(names[i], packed);
    if (name_in_use(c, packed)) return hm_fail(status::kFileCreateOrOpen, trace::kCreateRefused);
  }
  int32_t per_file = N / n;
  int32_t mode = kCreateMode;
  int32_t flag = kCreateFlag;
  int32_t length = L;
  for (int32_t i = 0; i < n; ++i) {
    // An existing file is deleted only when the create will go ahead.
    if (CFI_is_hypermatrix_file(names[i]) == 0) {
      hm_close_files(i, names, kDelete, handles, true);
      return hm_fail(status::kFileCreateOrOpen, trace::kCreateRefused);
    }
    if (CFI_ask_file_exist(names[i]) == 0) CFI_delete_file(names[i], kCreateFlag);
    if (DAF_file_create(&handles[i], names[i], &mode, &flag, &per_file, &length) != 0) {
      // The files this call created so far would otherwise stay open with no
      // set to close them.
      hm_close_files(i, names, kDelete, handles, true);
      return hm_fail(status::kFileCreateOrOpen, trace::kCreateRefused);
    }
  }
  hm_cache_setup();
  return status::kOk;
}

int32_t hm_open_files(int32_t n, const char *const *names, int32_t *handles, int32_t &L,
                      int32_t *lengths, int32_t *records) {
  int32_t mode = kOpenMode;
  for (int32_t i = 0; i < n; ++i) {
    int32_t count = 0;
    int32_t unused = 0;
    lengths[i] = 0;
    if (DAF_file_open(&handles[i], names[i], &mode, &count, &unused, &lengths[i]) != 0) {
      // Files opened before this one are closed again (kept): nothing else
      // would ever release their handles.
      hm_close_files(i, names, kKeep, handles, true);
      return hm_fail(status::kFileCreateOrOpen, trace::kOpenRefused);
    }
    records[i] = count;
    L = lengths[i];
  }
  hm_cache_setup();
  return status::kOk;
}

int32_t hm_take_fileset_slot(int32_t *ctrl, int32_t &P) {
  WordView c = control_view(ctrl);
  if (c[cw::kFsFree] <= 0) return hm_fail(status::kFull, trace::kNoFilesetSlot);
  int32_t *links = c.at(c[cw::kFsLinks]);
  const int32_t s = hm_list_take(links, 1, c[cw::kFsFree], c[cw::kFsHead]);
  P = c[cw::kFsArea1] + (s - 1) * cw::kFilesetAreaWords;
  links[s - 1] = cw::kSlotInUse;
  return status::kOk;
}

void hm_give_fileset_slot(int32_t *ctrl, int32_t &P) {
  WordView c = control_view(ctrl);
  int32_t s = (P - c[cw::kFsArea1]) / cw::kFilesetAreaWords + 1;
  hm_list_give(c.at(c[cw::kFsLinks]), 1, c[cw::kFsFree], c[cw::kFsHead], s);
  P = 0;
}

bool hm_is_open_fileset(int32_t *ctrl, int32_t P) {
  WordView c = control_view(ctrl);
  const int32_t offset = P - c[cw::kFsArea1];
  if (offset < 0 || offset % cw::kFilesetAreaWords != 0) return false;
  const int32_t s = offset / cw::kFilesetAreaWords + 1;
  return s <= c[cw::kFsSlots] && c[c[cw::kFsLinks] + s - 1] == cw::kSlotInUse;
}

// ---------------------------------------------------------------------------
// Header and tables.

int32_t hm_read_header(int32_t *ctrl, int32_t P, int32_t n, const int32_t *handles, int32_t L) {
  WordView c = control_view(ctrl);
  WordView fs(ctrl, P);
  if (L <= 0) return hm_fail(status::kAreaTooSmall, trace::kHeaderNoRoom);
  const int32_t h = static_cast<int32_t>((int64_t{L} + 99) / L);
  const int64_t W = int64_t{h} * L;
  const int32_t g = c[cw::kGranule];
  int32_t *buffer = nullptr;
  int32_t taken = 0;
  if (c[cw::kFresh] == 1) {
    // No pools yet: the free words from word 129 serve as the buffer.
    if (g <= 0 || int64_t{c[cw::kLastPoolWord]} - c[cw::kNextFree] + 1 < ceil_div(W, g) * g) {
      return hm_fail(status::kAreaTooSmall, trace::kHeaderNoRoom);
    }
    buffer = word_at(ctrl, c[cw::kNextFree]);
  } else {
    if (!fits(W)) return hm_fail(status::kFull, trace::kHeaderTake);
    const int32_t ierr = hm_work_alloc(ctrl, static_cast<int32_t>(W), taken);
    if (ierr != 0) return hm_fail(ierr, trace::kHeaderTake);
    buffer = word_at(ctrl, taken);
  }
  int32_t ierr = hm_read_records(n, handles, L, h, 0, buffer);
  if (ierr != 0) {
    hm_push_trace(trace::kHeaderRead);
    if (taken != 0) hm_work_free(ctrl, static_cast<int32_t>(W), taken);
    return ierr;
  }
  std::copy(buffer, buffer + fsw::kHeaderWords, fs.at(1));
  if (taken != 0) {
    ierr = hm_work_free(ctrl, static_cast<int32_t>(W), taken);
    if (ierr != 0) return hm_fail(ierr, trace::kHeaderGive);
  }
  return status::kOk;
}

int32_t hm_init_fileset_lists(int32_t *ctrl, int32_t P) {
  WordView fs(ctrl, P);
  const int32_t L = fs[fsw::kRecordLength];
  const int64_t table_words = int64_t{fs[fsw::kTableRecords]} * L;
  const int64_t node_words = int64_t{fs[fsw::kNodeRecords]} * L;
  if (!fits(table_words)) return hm_fail(status::kFull, trace::kInitTables);
  int32_t ierr = hm_work_alloc(ctrl, static_cast<int32_t>(table_words), fs[fsw::kTablePos]);
  if (ierr != 0) return hm_fail(ierr, trace::kInitTables);
  WordView table(ctrl, fs[fsw::kTablePos]);
  std::fill(table.at(1), table.at(1) + int64_t{extw::kWords} * fs[fsw::kTableCapacity], 0);
  hm_list_init(table.at(1), extw::kWords, fs[fsw::kTableCapacity], fs[fsw::kTableFree],
               fs[fsw::kTableFirstFree]);
  hm_clear4(fs.at(fsw::kListA));

  auto only_extent = [&](int32_t list, int32_t length, int32_t first) {
    const int32_t e = hm_list_take(table.at(1), extw::kWords, fs[fsw::kTableFree],
                                   fs[fsw::kTableFirstFree]);
    WordView entry(table.at(1), 1 + (e - 1) * extw::kWords);
    entry[extw::kNext] = 0;
    entry[extw::kPrev] = 0;
    entry[extw::kLength] = length;
    entry[extw::kFirst] = first;
    fs[list + listw::kTotal] = length;
    fs[list + listw::kCount] = 1;
    fs[list + listw::kFirst] = e;
    fs[list + listw::kLast] = e;
  };
  if (fs[fsw::kTableFree] <= 0) return hm_fail(status::kFull, trace::kInitNoEntry);
  const int32_t index_first = fs[fsw::kNodeRecords] + fs[fsw::kNodeFirstRecord];
  const int32_t index_length = fs[fsw::kIndexRegion] - index_first;
  if (index_length < 1) return hm_fail(status::kFull, trace::kInitNoIndexRoom);
  only_extent(fsw::kListA, index_length, index_first);
  hm_clear4(fs.at(fsw::kListB));
  if (fs[fsw::kTableFree] <= 0) return hm_fail(status::kFull, trace::kInitNoEntry);
  if (fs[fsw::kDataRegion] < 1) return hm_fail(status::kFull, trace::kInitNoDataRegion);
  only_extent(fsw::kListB, fs[fsw::kDataRegion], fs[fsw::kIndexRegion]);

  if (!fits(node_words)) return hm_fail(status::kFull, trace::kInitTables);
  ierr = hm_work_alloc(ctrl, static_cast<int32_t>(node_words), fs[fsw::kNodePos]);
  if (ierr != 0) return hm_fail(ierr, trace::kInitTables);
  hm_list_init(word_at(ctrl, fs[fsw::kNodePos]), kDirectoryNodeWords, fs[fsw::kNodeCapacity],
               fs[fsw::kNodeFree], fs[fsw::kNodeFirstFree]);
  for (int32_t w = fsw::kDirCount; w <= fsw::kReleasedLast; ++w) fs[w] = 0;

  ierr = hm_work_alloc(ctrl, L, fs[fsw::kWorkBuffer]);
  if (ierr != 0) return hm_fail(ierr, trace::kInitTables);
  ierr = take_pair_stacks(ctrl, fs);
  if (ierr != 0) return hm_fail(ierr, trace::kInitPairStacks);
  return status::kOk;
}

int32_t hm_load_fileset_lists(int32_t *ctrl, int32_t P) {
  WordView fs(ctrl, P);
  const int32_t L = fs[fsw::kRecordLength];
  int32_t handles[fsw::kMaxFiles];
  const int32_t n = hm_gather_handles(ctrl, P, handles);

  // The header checks have bounded both tables to whole records that fit.
  int32_t ierr = hm_work_alloc(ctrl, fs[fsw::kTableRecords] * L, fs[fsw::kTablePos]);
  if (ierr != 0) return hm_fail(ierr, trace::kLoadTables);
  ierr = hm_read_records(n, handles, L, fs[fsw::kTableRecords], fs[fsw::kTableFirstRecord],
                         word_at(ctrl, fs[fsw::kTablePos]));
  if (ierr != 0) return hm_fail(ierr, trace::kLoadRead);
  ierr = hm_work_alloc(ctrl, fs[fsw::kNodeRecords] * L, fs[fsw::kNodePos]);
  if (ierr != 0) return hm_fail(ierr, trace::kLoadTables);
  ierr = hm_read_records(n, handles, L, fs[fsw::kNodeRecords], fs[fsw::kNodeFirstRecord],
                         word_at(ctrl, fs[fsw::kNodePos]));
  if (ierr != 0) return hm_fail(ierr, trace::kLoadRead);
  ierr = hm_work_alloc(ctrl, L, fs[fsw::kWorkBuffer]);
  if (ierr != 0) return hm_fail(ierr, trace::kLoadTables);
  ierr = take_pair_stacks(ctrl, fs);
  if (ierr != 0) return hm_fail(ierr, trace::kLoadPairStacks);
  return status::kOk;
}

void hm_release_fileset_lists(int32_t *ctrl, int32_t P) {
  WordView fs(ctrl, P);
  const int32_t L = fs[fsw::kRecordLength];
  // Each free sets its position word to 0, so nothing is given back twice.
  if (fs[fsw::kTablePos] != 0) hm_work_free(ctrl, fs[fsw::kTableRecords] * L, fs[fsw::kTablePos]);
  if (fs[fsw::kNodePos] != 0) hm_work_free(ctrl, fs[fsw::kNodeRecords] * L, fs[fsw::kNodePos]);
  if (fs[fsw::kWorkBuffer] != 0) hm_work_free(ctrl, L, fs[fsw::kWorkBuffer]);
  if (fs[fsw::kStack1] != 0) hm_pair_free(ctrl, 2 * fs[fsw::kStack1Capacity], fs[fsw::kStack1]);
  if (fs[fsw::kStack2] != 0) hm_pair_free(ctrl, 2 * fs[fsw::kStack2Capacity], fs[fsw::kStack2]);
}

// ---------------------------------------------------------------------------
// Pools.

int32_t hm_pool_setup(int32_t *ctrl, int32_t L, int32_t a1, int32_t a2, int32_t a3, int32_t a4,
                      int32_t a5) {
  WordView c = control_view(ctrl);
  const int64_t g = c[cw::kGranule];
  const int64_t u = c[cw::kUnitSize];
  const int64_t b = c[cw::kBufferSize];
  const int64_t S = c[cw::kFsSlots];
  const int64_t T = c[cw::kDescSlots];
  const int64_t E = c[cw::kLastPoolWord];
  auto room = [&]() { return E - c[cw::kNextFree] + 1; };
  auto fail = [](int32_t ierr, int32_t code, int32_t part) {
    hm_push_trace(code);
    return hm_fail(ierr, part);
  };

  // 1. Unit pool: record-sized units for tables and record buffers.
  if (u <= 0 || g <= 0) return fail(status::kAreaTooSmall, trace::kUnitPoolRoom, trace::kUnitPoolPart);
  c[cw::kUnitPerMatrix] = a3;
  c[cw::kUnitReserve] = static_cast<int32_t>(ceil_div(c[cw::kUnitReserve], u) * u);
  const int64_t v = ceil_div(b, u);
  const int64_t U = (ceil_div(4LL * a1, u) + ceil_div(12LL * a2, u)) * S + ceil_div(4LL * a3, u) * T +
                    v * T + v * S + c[cw::kUnitReserve] / u;
  if (U < 1 || room() < (u + 4) * U) {
    return fail(status::kAreaTooSmall, trace::kUnitPoolRoom, trace::kUnitPoolPart);
  }
  c[cw::kUnitTable] = c[cw::kNextFree];
  c[cw::kUnitEntries] = static_cast<int32_t>(U);
  c[cw::kUnitCount] = static_cast<int32_t>(U);
  hm_list_init(c.at(c[cw::kUnitTable]), extw::kWords, c[cw::kUnitEntries], c[cw::kUnitTableFree],
               c[cw::kUnitTableFree + 1]);
  hm_clear4(c.at(cw::kUnitList));
  link_only_extent(c, c[cw::kUnitTable], cw::kUnitTableFree, cw::kUnitList,
                   static_cast<int32_t>(U), 1);
  c[cw::kUnitBase] = static_cast<int32_t>(round_up(c[cw::kUnitTable] + 4 * U, g));
  c[cw::kNextFree] = static_cast<int32_t>(round_up(c[cw::kUnitBase] + U * u, g));

  // 2. Pair pool: even-sized areas, pair stacks and multiply scratch.
  if (b <= 0) return fail(status::kAreaTooSmall, trace::kPairPoolRoom, trace::kPairPoolPart);
  const int64_t k = floor_log2(E);
  const int64_t D = (ceil_div(4 * k + 8, g) + ceil_div(49 * (E / (6 * b)), g) + ceil_div(18 * b, g) +
                     ceil_div(5 * b, g)) *
                    g;
  if (a4 < 1 || room() < D + 4LL * a4) {
    return fail(status::kAreaTooSmall, trace::kPairPoolRoom, trace::kPairPoolPart);
  }
  c[cw::kPairTable] = c[cw::kNextFree];
  c[cw::kPairEntries] = a4;
  hm_list_init(c.at(c[cw::kPairTable]), extw::kWords, a4, c[cw::kPairTableFree],
               c[cw::kPairTableFree + 1]);
  c[cw::kPairBase] = static_cast<int32_t>(round_up(c[cw::kPairTable] + 4LL * a4, g));
  c[cw::kPairSize] = static_cast<int32_t>(D);
  hm_clear4(c.at(cw::kPairList));
  link_only_extent(c, c[cw::kPairTable], cw::kPairTableFree, cw::kPairList,
                   static_cast<int32_t>(D), c[cw::kPairBase]);
  c[cw::kNextFree] = static_cast<int32_t>(round_up(c[cw::kPairBase] + D, g));
  c[cw::kAfterSmallPools] = c[cw::kNextFree];

  // 3. Word pool: 86 words for each descriptor slot.
  if (room() < 90 * T) return fail(status::kAreaTooSmall, trace::kWordPoolRoom, trace::kWordPoolPart);
  c[cw::kWordTable] = c[cw::kNextFree];
  c[cw::kWordEntries] = static_cast<int32_t>(T);
  hm_list_init(c.at(c[cw::kWordTable]), extw::kWords, c[cw::kWordEntries], c[cw::kWordTableFree],
               c[cw::kWordTableFree + 1]);
  c[cw::kWordBase] = static_cast<int32_t>(round_up(c[cw::kWordTable] + 4 * T, g));
  c[cw::kWordSize] = static_cast<int32_t>(86 * T);
  hm_clear4(c.at(cw::kWordList));
  link_only_extent(c, c[cw::kWordTable], cw::kWordTableFree, cw::kWordList, c[cw::kWordSize],
                   c[cw::kWordBase]);
  c[cw::kNextFree] = static_cast<int32_t>(round_up(c[cw::kWordBase] + 86 * T, g));
  c[cw::kAfterSmallPools] = c[cw::kNextFree];

  // 4. Spare node list.
  if (a5 < 0 || room() < 4LL * a5) {
    return fail(status::kAreaTooSmall, trace::kSpareNodesRoom, trace::kSpareNodesPart);
  }
  c[cw::kSpareNodes] = c[cw::kNextFree];
  c[cw::kSpareCount] = a5;
  hm_list_init(c.at(c[cw::kSpareNodes]), extw::kWords, a5, c[cw::kSpareFree],
               c[cw::kSpareFree + 1]);
  hm_clear4(c.at(cw::kSpareList));
  c[cw::kNextFree] = static_cast<int32_t>(round_up(c[cw::kSpareNodes] + 4LL * a5, g));

  // 5. Buffer pool: all the rest of the area.
  const int64_t B = (E - g - c[cw::kNextFree] + 1) / (b + kBufferHeaderWords);
  if (B < 2 * T + 30) {
    hm_push_trace(trace::kBufferPoolRoom);
    hm_push_trace(trace::kBufferPoolTooFew);
    return hm_fail(status::kAreaTooSmall, trace::kBufferPoolPart);
  }
  c[cw::kBufferHeaders] = c[cw::kNextFree];
  c[cw::kBufferCount] = static_cast<int32_t>(B);
  hm_list_init(c.at(c[cw::kBufferHeaders]), kBufferHeaderWords, c[cw::kBufferCount],
               c[cw::kBufferFree], c[cw::kBufferFirstFree]);
  c[cw::kBuffer1] =
      static_cast<int32_t>(round_up(c[cw::kBufferHeaders] + kBufferHeaderWords * B, g));
  c[cw::kBufferDataWords] = static_cast<int32_t>(B * b);
  hm_clear3(c.at(cw::kUseCount));

  // 6. The first 30 buffers are reserved.
  c[cw::kReservedBuffers] = 30;
  c[cw::kBuffer31] = static_cast<int32_t>(c[cw::kBuffer1] + 30 * b);
  c[cw::kBufferWordsBeyondReserved] = static_cast<int32_t>(c[cw::kBufferDataWords] - 30 * b);
  (void)L;
  return status::kOk;
}

// ---------------------------------------------------------------------------
// hmnewf.

int32_t hm_new_fileset(int32_t *ctrl, int32_t n, const char *const *names, int32_t m, int32_t s,
                       int32_t &P) {
  WordView c = control_view(ctrl);
  P = 0;
  if (c[cw::kInitMarker] != cw::kInitialised) {
    return hm_fail(status::kNotInitialised, trace::kNewNotInitialised);
  }
  const int32_t L = c[cw::kRecordLength];
  const int32_t g = c[cw::kGranule];
  const bool fresh = c[cw::kFresh] == 1;
  // A negative record length is refused like 0.
  if (!fresh && L != c[cw::kFirstRecordLength]) {
    return hm_fail(status::kRecordLengthDiffers, trace::kNewRecordLengthDiffers);
  }
  if (L <= 0 || (fresh && L < kMinRecordLength)) {
    return hm_fail(status::kBadFilesetArgument, trace::kNewBadArgument);
  }
  // The granule and the number of files are checked before any file is made.
  if (g <= 0 || n < 1 || n > fsw::kMaxFiles) {
    return hm_fail(status::kBadFilesetArgument, trace::kNewBadArgument);
  }
  if (name_too_long(n, names)) return hm_fail(status::kBadFilesetArgument, trace::kNewNameTooLong);

  int64_t R = ceil_div(5000LL * g, L);
  if (s != 0) R = std::max(R, ceil_div(s, L));
  const int64_t N64 = ceil_div(R, n) * n;
  if (!fits(N64)) return hm_fail(status::kBadFilesetArgument, trace::kNewBadArgument);
  const int32_t N = static_cast<int32_t>(N64);
  const int32_t M = int64_t{c[cw::kLastPoolWord]} + cw::kFixedWords < kLargeArea
                        ? std::max(m, kSmallIndexRegion)
                        : std::max(m, kLargeIndexRegion);

  int32_t handles[fsw::kMaxFiles];
  int32_t ierr = hm_create_files(ctrl, n, names, N, L, handles);
  if (ierr != 0) return hm_fail(ierr, trace::kNewCreateFiles);

  ierr = hm_take_fileset_slot(ctrl, P);
  if (ierr != 0) {
    hm_push_trace(trace::kNewTakeSlot);
    return close_after_failure(ierr, n, names, handles, kDelete, trace::kNewCleanupClose);
  }

  Snapshot before;
  before.take(c);
  if (c[cw::kUnitSize] <= 0) c[cw::kUnitSize] = static_cast<int32_t>(ceil_div(L, g) * g);
  c[cw::kBufferSize] = static_cast<int32_t>(ceil_div(L, g) * g);
  c[cw::kFirstRecordLength] = L;

  WordView fs(ctrl, P);
  std::fill(fs.at(1), fs.at(1) + cw::kFilesetAreaWords, 0);
  auto word = [](int64_t v) { return static_cast<int32_t>(std::min<int64_t>(v, INT32_MAX)); };
  fs[fsw::kRecordLength] = L;
  fs[fsw::kHeaderRecords] = (L + 99) / L;
  fs[fsw::kFirstHeaderRecord] = 0;
  fs[fsw::kWord44] = 1;
  fs[fsw::kCreatedRecords] = N;
  fs[fsw::kIndexRegion] = M;
  fs[fsw::kDataRegion] = word(int64_t{N} - M);
  fs[fsw::kIndexGrowth] = word(std::max<int64_t>(M / 10, ceil_div(1000LL * g, L)));
  fs[fsw::kDataGrowth] = word(std::max<int64_t>((int64_t{N} - M) / 10, ceil_div(3000LL * g, L)));
  fs[fsw::kEnd] = N;
  fs[fsw::kTableRecords] = word(ceil_div(int64_t{kExtentsPerIndexRecord} * M, L));
  fs[fsw::kTableFirstRecord] = fs[fsw::kFirstHeaderRecord] + fs[fsw::kHeaderRecords];
  fs[fsw::kWord53] = 1;
  fs[fsw::kTableCapacity] = word(int64_t{fs[fsw::kTableRecords]} * L / extw::kWords);
  fs[fsw::kNodeRecords] = word(ceil_div(int64_t{kNodesPerIndexRecord} * M, L));
  fs[fsw::kNodeFirstRecord] = word(int64_t{fs[fsw::kTableFirstRecord]} + fs[fsw::kTableRecords]);
  fs[fsw::kWord67] = 1;
  fs[fsw::kNodeCapacity] = word(int64_t{fs[fsw::kNodeRecords]} * L / kDirectoryNodeWords);
  fs[fsw::kHeaderRecord] = 0;
  fs[fsw::kHeaderOffset] = 1;
  fs[fsw::kWord78] = word(int64_t{(L + 127) / L} * L / 4);
  const int32_t *x = cache_words();
  fs[fsw::kCacheFlag] = x[cachew::kState] != 0 && x[cachew::kKind] == cachew::kKindMemoryFirst;
  store_files(fs, n, names, handles, true);

  if (fresh) {
    ierr = hm_pool_setup(ctrl, L, fs[fsw::kTableCapacity], fs[fsw::kNodeCapacity], fs[fsw::kWord78],
                         kNewPairEntries, kNewSpareNodes);
    if (ierr != 0) {
      hm_push_trace(trace::kNewPoolSetup);
      before.restore(c);
      hm_give_fileset_slot(ctrl, P);
      // The files were made by this call and hold nothing a later hmoldf
      // could open (no header was written): a refused set leaves none behind.
      return close_after_failure(ierr, n, names, handles, kDelete, trace::kNewCleanupClose);
    }
    c[cw::kFresh] = 0;
  }

  ierr = hm_init_fileset_lists(ctrl, P);
  if (ierr != 0) {
    hm_push_trace(trace::kNewLists);
    hm_release_fileset_lists(ctrl, P);
    hm_give_fileset_slot(ctrl, P);
    return close_after_failure(ierr, n, names, handles, kDelete, trace::kNewCleanupClose);
  }

  for (int32_t i = 0; i < 18; ++i) fs[fsw::kCopiedControl + i] = c[fsw::kCopiedControlWords[i]];
  return status::kOk;
}

// ---------------------------------------------------------------------------
// hmoldf.

int32_t hm_old_fileset(int32_t *ctrl, int32_t n, const char *const *names, int32_t &P) {
  WordView c = control_view(ctrl);
  P = 0;
  if (c[cw::kInitMarker] != cw::kInitialised) {
    return hm_fail(status::kNotInitialised, trace::kOldNotInitialised);
  }
  if (n < 1 || n > fsw::kMaxFiles) return hm_fail(status::kBadFilesetArgument, trace::kOldBadFileCount);
  if (name_too_long(n, names)) return hm_fail(status::kBadFilesetArgument, trace::kOldNameTooLong);

  int32_t ierr = hm_take_fileset_slot(ctrl, P);
  if (ierr != 0) return hm_fail(ierr, trace::kOldTakeSlot);
  // Nothing of a set that used this slot before may survive: the clean-up
  // below reads the positions of words 105-113.
  WordView fs(ctrl, P);
  std::fill(fs.at(1), fs.at(1) + cw::kFilesetAreaWords, 0);

  int32_t handles[fsw::kMaxFiles];
  int32_t lengths[fsw::kMaxFiles];
  int32_t records[fsw::kMaxFiles];
  int32_t L = 0;
  ierr = hm_open_files(n, names, handles, L, lengths, records);
  if (ierr != 0) {
    hm_push_trace(trace::kOldOpenFiles);
    hm_give_fileset_slot(ctrl, P);
    return ierr;
  }
  const bool fresh = c[cw::kFresh] == 1;
  Snapshot before;
  before.take(c);
  // Any refusal from here on: the slot back, the files closed and kept, and
  // the control area's words as they were before this call.
  auto refuse = [&](int32_t status_value, int32_t step_code) {
    hm_push_trace(step_code);
    // A fresh area goes back to fresh (its pools were laid out for this set
    // only); otherwise the areas this set took go back to the pools.
    if (fresh) {
      before.restore(c);
    } else {
      hm_release_fileset_lists(ctrl, P);
    }
    hm_give_fileset_slot(ctrl, P);
    return close_after_failure(status_value, n, names, handles, kKeep, trace::kOldCleanupClose);
  };
  auto refuse_stored = [&](int32_t code, int32_t step_code) {
    hm_push_trace(code);
    return refuse(status::kRecordRead, step_code);
  };

  // Every file must have the record length the set is read with. (A length
  // of 0 is the header read's own refusal, status 101.)
  for (int32_t i = 0; i < n; ++i) {
    if (lengths[i] != L || (L != 0 && L < kMinRecordLength)) {
      return refuse_stored(trace::kStoredRecordLength, trace::kOldOpenFiles);
    }
  }
  ierr = hm_read_header(ctrl, P, n, handles, L);
  if (ierr != 0) return refuse(ierr, trace::kOldReadHeader);
  if (!header_sound(fs, L, fresh)) {
    return refuse_stored(trace::kStoredHeader, trace::kOldReadHeader);
  }
  if (!file_count_sound(fs, n, records)) {
    return refuse_stored(trace::kStoredFileCount, trace::kOldReadHeader);
  }

  // The unit and buffer sizes are the stored set's only on a fresh area;
  // once the pools are laid out they keep the sizes they were built with.
  if (fresh) {
    c[cw::kUnitSize] = fs[fsw::kCopiedUnitSize];
    c[cw::kBufferSize] = fs[fsw::kCopiedBufferSize];
    c[cw::kFirstRecordLength] = fs[fsw::kRecordLength];
    ierr = hm_pool_setup(ctrl, fs[fsw::kRecordLength], fs[fsw::kTableCapacity],
                         fs[fsw::kNodeCapacity], fs[fsw::kCopiedUnitPerMatrix],
                         fs[fsw::kCopiedPairEntries], fs[fsw::kCopiedSpareCount]);
    if (ierr != 0) return refuse(ierr, trace::kOldPoolSetup);
    c[cw::kFresh] = 0;
  } else if (fs[fsw::kRecordLength] != c[cw::kFirstRecordLength]) {
    hm_push_trace(trace::kOldRecordLengthDiffers);
    hm_give_fileset_slot(ctrl, P);
    return close_after_failure(status::kRecordLengthDiffers, n, names, handles, kKeep,
                               trace::kOldCleanupClose);
  }

  // Words 1-40 keep the name file 1 was created with.
  store_files(fs, n, names, handles, false);
  ierr = hm_load_fileset_lists(ctrl, P);
  if (ierr != 0) return refuse(ierr, trace::kOldLists);
  if (!tables_sound(ctrl, fs)) return refuse_stored(trace::kStoredTables, trace::kOldLists);
  // The header just read names these records; the next removal leaves them
  // untouched until its own header takes over.
  fs[fsw::kStoredTableRecords] = fs[fsw::kTableRecords];
  fs[fsw::kStoredTableFirst] = fs[fsw::kTableFirstRecord];
  fs[fsw::kStoredNodeRecords] = fs[fsw::kNodeRecords];
  fs[fsw::kStoredNodeFirst] = fs[fsw::kNodeFirstRecord];
  return status::kOk;
}

}  // namespace tessera

// ---------------------------------------------------------------------------
// Exported routines.

extern "C" TESSERA_API void hmnewf(int32_t *ctrl, const int32_t *nfiles, char **names,
                                   const int32_t *index_records, const int32_t *initial_words,
                                   int32_t *handle, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, true, ierr)) return;
  tessera::hm_clear_trace();
  *ierr = 0;
  int32_t P = 0;
  *ierr = tessera::hm_new_fileset(ctrl, *nfiles, names, *index_records, *initial_words, P);
  if (*ierr != 0) tessera::hm_push_trace(tessera::trace::kHmnewf);
  *handle = P;
}

extern "C" TESSERA_API void hmoldf(int32_t *ctrl, const int32_t *nfiles, char **names,
                                   int32_t *handle, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, true, ierr)) return;
  tessera::hm_clear_trace();
  *ierr = 0;
  int32_t P = 0;
  *ierr = tessera::hm_old_fileset(ctrl, *nfiles, names, P);
  if (*ierr != 0) tessera::hm_push_trace(tessera::trace::kHmoldf);
  *handle = P;
}
