// The self-check of a file set at rest (stored_set.h). Every stored word is
// read through a bounds check of its own here: the structures are walked
// from copies in this file's buffers, never through the library's open path,
// so the check stands on sets the library would refuse or misread.
#include "selfcheck/stored_set.h"

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "catalogue/descriptor_words.h"
#include "catalogue/extent_list.h"
#include "catalogue/invariants.h"
#include "catalogue/matrix.h"
#include "catalogue/tree.h"
#include "common/type_form.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/lists.h"
#include "platsvc.h"
#include "recstore.h"
#include "transfer/block_index.h"
#include "transfer/transfer_words.h"

namespace tessera {
namespace {

// Record-file service arguments, as the library passes them.
int32_t kOpenMode = 5;
int32_t kCloseOne = 1;
int32_t kKeepFile = 1;

constexpr int32_t kMinRecordLength = 128;
// Findings kept; the rest are only counted.
constexpr size_t kMaxFindings = 1000;
// No index of 2^31 blocks is this high: every node but the root holds at
// least two children.
constexpr int32_t kMaxIndexHeight = 32;
// Files of a set whose order is searched for when the given one does not
// read as a set: (n - 1)! orders are tried.
constexpr int32_t kMaxFilesReordered = 7;

// Extent-table placements of a matrix header.
constexpr int32_t kInSlot = 1;
constexpr int32_t kInWordPool = 2;
constexpr int32_t kInRecords = 3;
constexpr int32_t kSmallTableEntries = dw::kSmallTableWords / extw::kWords;

// Directory nodes by where they are.
enum NodePlace : char { kNowhere, kInTree, kReleased, kFree };

std::string num(int64_t v) { return std::to_string(v); }

std::string run_text(int64_t first, int64_t count) {
  return count == 1 ? "record " + num(first)
                    : "records " + num(first) + " to " + num(first + count - 1);
}

// Stored word w (1-based) of a header copy.
int32_t word(const std::vector<int32_t> &v, int32_t w) { return v[static_cast<size_t>(w - 1)]; }

bool looks_like_set_header(const std::vector<int32_t> &record, int32_t L) {
  return word(record, fsw::kRecordLength) == L &&
         word(record, fsw::kHeaderRecords) == (L + 99) / L &&
         word(record, fsw::kFirstHeaderRecord) == 0;
}

std::string quoted(const std::string &name) { return "'" + name + "'"; }

// The extent-table check numbers the lists it was given; findings name them.
std::string name_lists(std::string reason, const char *first, const char *second) {
  for (const auto &[number, name] : {std::pair{"list 1:", first}, std::pair{"list 2:", second}}) {
    const size_t at = reason.find(number);
    if (at != std::string::npos) reason.replace(at, std::strlen(number), std::string(name) + ":");
  }
  return reason;
}

// Same file under two names.
bool same_file(const std::string &a, const std::string &b) {
  char *ra = realpath(a.c_str(), nullptr);
  char *rb = realpath(b.c_str(), nullptr);
  const bool same = ra != nullptr && rb != nullptr && std::strcmp(ra, rb) == 0;
  free(ra);
  free(rb);
  return same;
}

// The block (bi, bj) text of position p of a matrix with a sound header.
std::string block_text(const StoredMatrix &m, int32_t p) {
  int32_t bi = 0, bj = 0, r = 0, q = 0;
  hm_block_indices(const_cast<int32_t *>(m.d.data()), 1, p, bi, bj, r, q);
  return "block (" + num(bi) + ", " + num(bj) + ")";
}

}  // namespace

StoredSet::~StoredSet() { close_files(); }

void StoredSet::close_files() {
  for (size_t i = 0; i < handles_.size(); ++i) {
    DAF_file_close(&handles_[i], names_[i].c_str(), &kCloseOne, &kKeepFile);
  }
  handles_.clear();
}

void StoredSet::find(const std::string &where, const std::string &what, int64_t record) {
  if (findings_.size() < kMaxFindings) {
    findings_.push_back(Finding{where, what, record});
  } else {
    ++dropped_;
  }
}

std::string StoredSet::matrix_label(const int32_t *key) {
  char bytes[12];
  std::memcpy(bytes, key + 1, sizeof bytes);
  size_t length = sizeof bytes;
  while (length > 0 && (bytes[length - 1] == ' ' || bytes[length - 1] == '\0')) --length;
  std::string name;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char ch = static_cast<unsigned char>(bytes[i]);
    if (std::isprint(ch) && ch != '\\' && ch != '"') {
      name += static_cast<char>(ch);
    } else {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\x%02x", ch);
      name += esc;
    }
  }
  return "\"" + name + "\" (qualifier " + num(key[0]) + ")";
}

bool StoredSet::read(int64_t r, int32_t *buffer) const {
  const int64_t n = static_cast<int64_t>(handles_.size());
  if (n == 0 || r < 0 || r >= end_) return false;
  const int64_t at = r / n;
  const size_t file = static_cast<size_t>(r % n);
  if (at >= file_records_[file]) return false;
  return DAF_file_nrecord_read(handles_[file], static_cast<int32_t>(at), L_, 1, buffer) == 0;
}

// ---- 1. the files -------------------------------------------------------------

bool StoredSet::open_files(const std::vector<std::string> &names, std::string &message,
                           SetProblem &problem) {
  names_ = names;
  const size_t n = names.size();
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (names[i] == names[j] || same_file(names[i], names[j])) {
        problem = SetProblem::kNotASet;
        message = quoted(names[i]) + " is given twice: each file of a set is named once";
        return false;
      }
    }
  }
  std::vector<int32_t> lengths;
  for (size_t i = 0; i < n; ++i) {
    if (CFI_ask_file_exist(names[i].c_str()) != 0) {
      problem = SetProblem::kMissingFile;
      message = quoted(names[i]) + ": no such file";
      return false;
    }
    int32_t handle = 0, records = 0, spare = 0, length = 0;
    if (DAF_file_open(&handle, names[i].c_str(), &kOpenMode, &records, &spare, &length) != 0) {
      problem = SetProblem::kNotRecordFile;
      message = quoted(names[i]) +
                " is not a file of a file set: it cannot be opened as a record file";
      return false;
    }
    handles_.push_back(handle);
    file_records_.push_back(records);
    lengths.push_back(length);
  }
  for (size_t i = 1; i < n; ++i) {
    if (lengths[i] != lengths[0]) {
      problem = SetProblem::kNotASet;
      message = quoted(names[i]) + " has records of " + num(lengths[i]) + " words and " +
                quoted(names[0]) + " of " + num(lengths[0]) +
                ": they are not files of one set";
      return false;
    }
  }
  L_ = lengths[0];
  if (L_ < kMinRecordLength) {
    problem = SetProblem::kNotASet;
    message = quoted(names[0]) + " has records of " + num(L_) +
              " words, fewer than any file set has (" + num(kMinRecordLength) + ")";
    return false;
  }
  if (n > static_cast<size_t>(fsw::kMaxFiles)) {
    problem = SetProblem::kFileCount;
    message = num(static_cast<int64_t>(n)) + " files were given; a file set has at most " +
              num(fsw::kMaxFiles);
    return false;
  }

  // Record 0 of the set, the header, lies at the start of file 1. A header
  // at the start of another file means the files were given out of order.
  std::vector<int32_t> record(static_cast<size_t>(L_));
  std::vector<size_t> heads;
  for (size_t i = 0; i < n; ++i) {
    if (file_records_[i] < 1) continue;
    if (DAF_file_nrecord_read(handles_[i], 0, L_, 1, record.data()) != 0) {
      problem = SetProblem::kNotRecordFile;
      message = quoted(names[i]) + ": its first record cannot be read";
      return false;
    }
    if (looks_like_set_header(record, L_)) {
      heads.push_back(i);
      if (i == 0) header_.assign(record.begin(), record.begin() + fsw::kHeaderWords);
    }
  }
  if (heads.empty()) {
    problem = SetProblem::kNotASet;
    message = n == 1 ? quoted(names[0]) +
                           " is a record file but not a file set: its first record holds no "
                           "set header"
                     : "the files are not a file set: none of them begins with a set header";
    return false;
  }
  if (heads.size() > 1) {
    problem = SetProblem::kNotASet;
    message = quoted(names[heads[0]]) + " and " + quoted(names[heads[1]]) +
              " each begin a file set: the files come from different sets";
    return false;
  }
  if (heads[0] != 0) {
    DAF_file_nrecord_read(handles_[heads[0]], 0, L_, 1, record.data());
    char created[kNameBufferBytes];
    hm_unpack_name(record.data() + fsw::kName1 - 1, created);
    problem = SetProblem::kFileOrder;
    message = "the files are in the wrong order: " + quoted(names[heads[0]]) +
              " holds the set's header, so it must come first" +
              (names[heads[0]] != created ? " (it was created as " + quoted(created) + ")" : "") +
              "; give the files in the order the set was created with, since record r lies in "
              "file (r mod n) + 1";
    return false;
  }

  // The set's end is shared evenly by its files; file 1's own length tells
  // how many files the set has when the count given does not fit.
  const int64_t E = word(header_, fsw::kEnd);
  bool even = E >= 1 && E % static_cast<int64_t>(n) == 0;
  for (size_t i = 0; i < n && even; ++i) even = file_records_[i] >= E / static_cast<int64_t>(n);
  const int64_t R = file_records_[0];
  if (!even && R >= 1 && E >= 1 && E % R == 0 && E / R <= fsw::kMaxFiles &&
      E / R != static_cast<int64_t>(n)) {
    const int64_t files = E / R;
    problem = SetProblem::kFileCount;
    message = "the set has " + num(files) + (files == 1 ? " file" : " files") + " (its end is " +
              num(E) + " records and " + quoted(names[0]) + " holds " + num(R) + " of them) but " +
              num(static_cast<int64_t>(n)) + (n == 1 ? " was" : " were") + " given: " +
              (files > static_cast<int64_t>(n) ? "a file is missing" : "a file is not part of it");
    return false;
  }
  return true;
}

SetProblem StoredSet::open(const std::vector<std::string> &names, std::string &message) {
  close_files();
  file_records_.clear();
  header_.clear();
  findings_.clear();
  matrices_.clear();
  dropped_ = 0;
  if (names.empty()) {
    message = "no file was given";
    return SetProblem::kMissingFile;
  }
  SetProblem problem = SetProblem::kNone;
  if (!open_files(names, message, problem)) {
    close_files();
    return problem;
  }

  // When the files do not read as a set in the order given, another order of
  // files 2 to n may: file 1 is fixed by the header.
  const int32_t n = files();
  std::vector<int32_t> order(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
  if (n >= 3 && n <= kMaxFilesReordered && set_level_findings(order) > 0) {
    std::vector<int32_t> other = order;
    while (std::next_permutation(other.begin() + 1, other.end())) {
      if (set_level_findings(other) != 0) continue;
      std::string list;
      for (int32_t i : other) list += (list.empty() ? "" : " ") + names[static_cast<size_t>(i)];
      message = "the files are in the wrong order: the set reads whole with them as " + list +
                " (record r lies in file (r mod n) + 1)";
      close_files();
      return SetProblem::kFileOrder;
    }
  }
  survey();
  return SetProblem::kNone;
}

int32_t StoredSet::set_level_findings(const std::vector<int32_t> &order) {
  const std::vector<int32_t> handles = handles_;
  const std::vector<int32_t> records = file_records_;
  for (size_t i = 0; i < order.size(); ++i) {
    handles_[i] = handles[static_cast<size_t>(order[i])];
    file_records_[i] = records[static_cast<size_t>(order[i])];
  }
  findings_.clear();
  matrices_.clear();
  int32_t count = -1;
  // A damaged header is the same in every order: only the rest can tell.
  if (survey_header() && findings_.empty()) {
    if (load_tables()) survey_directory();
    count = static_cast<int32_t>(findings_.size());
  }
  handles_ = handles;
  file_records_ = records;
  findings_.clear();
  matrices_.clear();
  return count;
}

// ---- 2. header, tables, directory ---------------------------------------------------

void StoredSet::survey() {
  findings_.clear();
  matrices_.clear();
  dropped_ = 0;
  tables_sound_ = directory_sound_ = false;
  if (survey_header() && load_tables()) {
    survey_directory();
    for (StoredMatrix &m : matrices_) survey_matrix(m);
    // Without the directory the owners of most records are unknown: the
    // accounting would only repeat the directory's finding record by record.
    if (directory_sound_) account();
  }
  if (dropped_ > 0) find("check", num(dropped_) + " further findings are not listed");
}

bool StoredSet::survey_header() {
  const std::string where = "set header";
  const int64_t n = files();
  auto w = [&](int32_t k) { return int64_t{word(header_, k)}; };
  const int64_t h = w(fsw::kHeaderRecords);
  int64_t shortest = file_records_.empty() ? 0 : file_records_[0];
  for (int32_t r : file_records_) shortest = std::min<int64_t>(shortest, r);
  const int64_t room = shortest * n;

  end_ = w(fsw::kEnd);
  if (end_ < h || end_ % n != 0 || end_ > room) {
    find(where,
         "word 50 (end of the set) is " + num(end_) + ", which " + num(n) +
             (n == 1 ? " file" : " files") + " of at least " + num(shortest) +
             " records do not hold evenly; the check reads up to record " + num(room - 1),
         0);
    end_ = room;
  }
  if (w(fsw::kCreatedRecords) < 1 || w(fsw::kCreatedRecords) > end_) {
    find(where, "word 45 (records at creation) is " + num(w(fsw::kCreatedRecords)) +
                    ", outside 1.." + num(end_), 0);
  }
  if (w(fsw::kIndexRegion) < 1 ||
      w(fsw::kIndexRegion) + w(fsw::kDataRegion) != w(fsw::kCreatedRecords)) {
    find(where, "words 46 and 47 (index and data regions, " + num(w(fsw::kIndexRegion)) +
                    " and " + num(w(fsw::kDataRegion)) + " records) do not split word 45 (" +
                    num(w(fsw::kCreatedRecords)) + ")", 0);
  }
  for (int32_t k : {fsw::kIndexGrowth, fsw::kDataGrowth}) {
    if (w(k) < 1) find(where, "word " + num(k) + " (growth step) is " + num(w(k)), 0);
  }
  if (w(fsw::kHeaderRecord) < 0 || w(fsw::kHeaderRecord) >= end_ || w(fsw::kHeaderOffset) < 1 ||
      w(fsw::kHeaderOffset) > L_) {
    find(where, "words 76 and 77 (current header record " + num(w(fsw::kHeaderRecord)) +
                    ", offset " + num(w(fsw::kHeaderOffset)) + ") lie outside the set or the record",
         0);
  }
  // The sizes a fresh control area lays its pools out with when it opens the
  // set.
  if (w(fsw::kCopiedUnitSize) < 1 || w(fsw::kCopiedBufferSize) < L_ ||
      w(fsw::kCopiedPairEntries) < 1 || w(fsw::kCopiedSpareCount) < 0 ||
      w(fsw::kCopiedUnitPerMatrix) < 0) {
    find(where, "words 80, 81, 85, 88 and 93 (pool sizes: " + num(w(fsw::kCopiedUnitSize)) + ", " +
                    num(w(fsw::kCopiedBufferSize)) + ", " + num(w(fsw::kCopiedPairEntries)) +
                    ", " + num(w(fsw::kCopiedSpareCount)) + ", " +
                    num(w(fsw::kCopiedUnitPerMatrix)) + ") are out of range", 0);
  }
  if (w(fsw::kCacheFlag) != 0 && w(fsw::kCacheFlag) != 1) {
    find(where, "word 100 (cache flag) is " + num(w(fsw::kCacheFlag)) + ", not 0 or 1", 0);
  }

  // Without both tables where the header says, nothing further can be read.
  bool tables = true;
  auto table = [&](const char *name, int32_t records_word, int32_t capacity_word,
                   int32_t entry_words) {
    const int64_t records = w(records_word), first = w(records_word + 1);
    const int64_t capacity = w(capacity_word);
    if (records < 1 || first < h || first + records > end_ || capacity < 1 ||
        capacity * entry_words > records * L_) {
      find(where,
           std::string("words ") + num(records_word) + ", " + num(records_word + 1) + " and " +
               num(capacity_word) + " (" + name + ": " + num(records) + " records from record " +
               num(first) + ", " + num(capacity) + " entries) do not fit the set",
           0);
      tables = false;
    }
  };
  table("the set's extent table", fsw::kTableRecords, fsw::kTableCapacity, extw::kWords);
  table("node table", fsw::kNodeRecords, fsw::kNodeCapacity, dirw::kLength);
  return tables;
}

bool StoredSet::load_tables() {
  auto load = [&](const char *name, int32_t records_word, std::vector<int32_t> &into) {
    const int32_t records = word(header_, records_word);
    const int32_t first = word(header_, records_word + 1);
    into.assign(static_cast<size_t>(records) * static_cast<size_t>(L_), 0);
    for (int32_t k = 0; k < records; ++k) {
      if (!read(int64_t{first} + k, into.data() + static_cast<size_t>(k) * L_)) {
        find(name, "its record cannot be read", int64_t{first} + k);
        return false;
      }
    }
    return true;
  };
  return load("the set's extent table", fsw::kTableRecords, table_) &&
         load("node table", fsw::kNodeRecords, nodes_);
}

void StoredSet::survey_directory() {
  std::string reason;
  const int32_t capacity = word(header_, fsw::kTableCapacity);
  const int32_t *lists[] = {header_.data() + fsw::kListA - 1, header_.data() + fsw::kListB - 1};
  tables_sound_ = hm_check_extent_table(table_.data(), capacity,
                                        header_.data() + fsw::kTableFree - 1, lists, 2, &reason);
  if (!tables_sound_) {
    find("the set's extent table", name_lists(reason, "list A", "list B"),
         word(header_, fsw::kTableFirstRecord));
  }

  const int32_t nodes = word(header_, fsw::kNodeCapacity);
  const NodeTable t{nodes_.data(), dirw::kLength, dirw::kKey, dw::kKeyWords};
  const int32_t root = word(header_, fsw::kDirRoot);
  const int64_t node_record = word(header_, fsw::kNodeFirstRecord);
  if (!hm_check_tree(t, nodes, word(header_, fsw::kDirCount), root, &reason)) {
    find("directory", "the tree is damaged: " + reason, node_record);
    return;
  }
  directory_sound_ = true;

  // The tree, the released-node list and the free-node list share no node
  // and together hold every node of the table.
  node_place_.assign(static_cast<size_t>(nodes) + 1, kNowhere);
  std::vector<int32_t> in_order, stack;
  for (int32_t x = root; x != 0 || !stack.empty();) {
    if (x != 0) {
      stack.push_back(x);
      x = *tree_node_word(t, x, treew::left(dirw::kLength));
      continue;
    }
    x = stack.back();
    stack.pop_back();
    in_order.push_back(x);
    node_place_[static_cast<size_t>(x)] = kInTree;
    x = *tree_node_word(t, x, treew::right(dirw::kLength));
  }
  auto walk = [&](int32_t first, int32_t expected, NodePlace mark, const char *name,
                  const int32_t *last) {
    int32_t count = 0, prev = 0;
    for (int32_t x = first; x != 0; x = *tree_node_word(t, x, dirw::kReleasedLink)) {
      if (x < 1 || x > nodes) {
        find("directory", std::string("the ") + name + " leaves the node table at node " + num(x),
             node_record);
        return;
      }
      if (node_place_[static_cast<size_t>(x)] != kNowhere) {
        find("directory", std::string("node ") + num(x) + " is on the " + name + " and " +
                              (node_place_[static_cast<size_t>(x)] == kInTree ? "in the tree"
                                                                              : "on another list"),
             node_record);
        return;
      }
      node_place_[static_cast<size_t>(x)] = mark;
      prev = x;
      ++count;
    }
    if (count != expected) {
      find("directory", std::string("the ") + name + " holds " + num(count) +
                            " nodes, its count says " + num(expected), node_record);
    } else if (last != nullptr && *last != prev) {
      find("directory", std::string("the ") + name + " ends at node " + num(prev) +
                            ", its last-node word says " + num(*last), node_record);
    }
  };
  walk(word(header_, fsw::kReleasedFirst), word(header_, fsw::kReleasedCount), kReleased,
       "released-node list", header_.data() + fsw::kReleasedLast - 1);
  walk(word(header_, fsw::kNodeFirstFree), word(header_, fsw::kNodeFree), kFree, "free-node list",
       nullptr);
  for (int32_t x = 1; x <= nodes; ++x) {
    if (node_place_[static_cast<size_t>(x)] == kNowhere) {
      find("directory", "node " + num(x) +
                            " is in neither the tree, the released-node list nor the free list",
           node_record);
    }
  }

  // Each matrix's header slot holds a header with the matrix's key.
  std::vector<int32_t> record(static_cast<size_t>(L_));
  for (int32_t x : in_order) {
    StoredMatrix m;
    m.node = x;
    std::copy(tree_node_word(t, x, dirw::kKey), tree_node_word(t, x, dirw::kKey) + dw::kKeyWords,
              m.key);
    m.header_record = *tree_node_word(t, x, dirw::kHeaderRecord);
    m.header_offset = *tree_node_word(t, x, dirw::kHeaderOffset);
    const std::string where = "matrix " + matrix_label(m.key);
    const int64_t offset = m.header_offset;
    if (m.header_record < word(header_, fsw::kHeaderRecords) || m.header_record >= end_ ||
        offset < 1 || (offset - 1) % dw::kWords != 0 || offset + dw::kWords - 1 > L_) {
      find(where, "its directory node names a header at record " + num(m.header_record) +
                      " offset " + num(offset) + ", outside the set", node_record);
      m.damaged = true;
    } else if (!read(m.header_record, record.data())) {
      find(where, "its header record cannot be read", m.header_record);
      m.damaged = true;
    } else {
      m.d.assign(record.begin() + (offset - 1), record.begin() + (offset - 1 + dw::kWords));
      if (hm_key_compare(m.d.data(), m.key, dw::kKeyWords) != 0) {
        find(where, "the header at offset " + num(offset) + " holds another matrix, " +
                        matrix_label(m.d.data()), m.header_record);
        m.damaged = true;
        m.d.clear();
      }
    }
    matrices_.push_back(std::move(m));
  }
}

// ---- 3. matrices ----------------------------------------------------------------

void StoredSet::survey_matrix(StoredMatrix &m) {
  if (m.d.empty()) return;
  const std::vector<int32_t> stored = m.d;
  const bool header_sound = matrix_header(m, stored);
  // The extent table needs only its placement: the records it names are
  // accounted for even when the shape is damaged.
  const int32_t placement = word(stored, dw::kPlacement);
  if (placement >= kInSlot && placement <= kInRecords) matrix_table(m, stored);
  if (!header_sound) {
    m.damaged = true;
    m.d.clear();
    return;
  }
  matrix_index(m);
  if (m.index_sound) matrix_blocks(m);
}

bool StoredSet::matrix_header(StoredMatrix &m, const std::vector<int32_t> &stored) {
  const std::string where = "matrix " + matrix_label(m.key) + " header";
  const int64_t at = m.header_record;
  auto w = [&](int32_t k) { return int64_t{word(stored, k)}; };
  bool sound = true;
  auto bad = [&](const std::string &what) {
    find(where, what, at);
    m.damaged = true;
  };
  if (w(dw::kHeaderRecord) != m.header_record || w(dw::kHeaderOffset) != m.header_offset) {
    bad("words 8 and 9 place it at record " + num(w(dw::kHeaderRecord)) + " offset " +
        num(w(dw::kHeaderOffset)) + ", the directory at record " + num(m.header_record) +
        " offset " + num(m.header_offset));
  }
  const int64_t t = w(dw::kType), k = w(dw::kItems), rows = w(dw::kRows), cols = w(dw::kCols);
  const int64_t s_form = w(dw::kForm), b1 = w(dw::kHyperOrder);
  if (t < 1 || t > etype::kLast || k < 1) {
    bad("words 10 and 11 (type " + num(t) + ", " + num(k) + " items) name no element type");
    sound = false;
  }
  if (rows < 1 || cols < 1) {
    bad("words 12 and 13 (shape " + num(rows) + " x " + num(cols) + ") are not positive");
    sound = false;
  }
  if (s_form < 1 || s_form > form::kLast) {
    bad("word 14 (storage form " + num(s_form) + ") is outside 1..6");
    sound = false;
  }
  if (b1 < 1) {
    bad("word 20 (hyperblock order " + num(b1) + ") is below 1");
    sound = false;
  }
  const int64_t placement = w(dw::kPlacement);
  if (placement < kInSlot || placement > kInRecords) {
    bad("word 33 (extent-table placement " + num(placement) + ") is not 1, 2 or 3");
    sound = false;
  }
  if (!sound) return false;

  const bool one_column =
      s_form == form::kDiagonal || t == etype::kInt32Column || t == etype::kInt32ItemsColumn;
  if (w(dw::kStoredCols) != (one_column ? 1 : cols)) {
    bad("word 15 (stored columns) is " + num(w(dw::kStoredCols)) + ", the form gives " +
        num(one_column ? 1 : cols));
  }
  const bool triangle = s_form == form::kSymmetric || s_form == form::kUpper;
  if (w(dw::kTriangle) != (triangle ? 1 : 0)) {
    bad("word 7 (triangle flag) is " + num(w(dw::kTriangle)) + " for storage form " + num(s_form));
  }
  if (w(dw::kLowerBand) < 0 || w(dw::kUpperBand) < 0) {
    bad("words 16 and 17 (band widths " + num(w(dw::kLowerBand)) + " and " +
        num(w(dw::kUpperBand)) + ") are negative");
  }
  const int32_t nb = hm_block_order(L_, static_cast<int32_t>(t), static_cast<int32_t>(k));
  if (nb < 1) {
    bad("a record of " + num(L_) + " words holds no element of type " + num(t) + " with " +
        num(k) + " items");
    return false;
  }

  // The block grid, computed from the shape as the library opens it; what
  // the header stores in its place for placement 1 must agree.
  std::vector<int32_t> d = stored;
  d[dw::kStoredCols - 1] = one_column ? 1 : static_cast<int32_t>(cols);
  d[dw::kTriangle - 1] = triangle ? 1 : 0;
  d[dw::kBlockOrder - 1] = nb;
  if (!hm_matrix_geometry(WordView(d.data(), 1), L_)) {
    bad("its block grid of " + num(rows) + " x " + num(cols) + " in blocks of " + num(nb) +
        " has more blocks than a 32-bit word counts");
    return false;
  }
  if (placement == kInSlot) {
    auto compare = [&](int32_t first, int32_t last) {
      for (int32_t k2 = first; k2 <= last; ++k2) {
        if (word(stored, k2) != word(d, k2)) {
          bad("word " + num(k2) + " of the block geometry is " + num(word(stored, k2)) +
              ", the shape gives " + num(word(d, k2)));
          return;
        }
      }
    };
    compare(dw::kBlockOrder, dw::kHyperOrder60);
    compare(dw::kRightEdgeSize, dw::kRightPerRecord);
    compare(dw::kBottomEdgeSize, dw::kBottomPerRecord);
    compare(dw::kGridBlocks, dw::kGridBlocks);
  }

  // The block index's words.
  const int64_t height = w(dw::kIndexHeight), root = w(dw::kIndexRoot);
  const int64_t entries = w(dw::kIndexEntries), index_nodes = w(dw::kIndexNodes);
  if (height < 0 || height > kMaxIndexHeight || (height == 0) != (root == 0) ||
      (root != 0 && (root < 1 || root >= end_)) || entries < 0 ||
      entries > word(d, dw::kGridBlocks) || index_nodes < 0 || (height == 0) != (entries == 0)) {
    bad("words 34 to 37 (block index: " + num(index_nodes) + " nodes, " + num(entries) +
        " entries, height " + num(height) + ", root record " + num(root) + ") are out of range");
    d[dw::kIndexHeight - 1] = -1;  // no walk
  }
  m.d = std::move(d);
  m.header_sound = true;
  return true;
}

void StoredSet::matrix_table(StoredMatrix &m, const std::vector<int32_t> &stored) {
  const std::string where = "matrix " + matrix_label(m.key) + " extent table";
  const int32_t placement = word(stored, dw::kPlacement);
  std::vector<int32_t> saved;
  const int32_t *entries = nullptr;
  int32_t capacity = 0;
  int64_t at = m.header_record;
  const int32_t no_list[4] = {0, 0, 0, 0};
  const int32_t *reserved = stored.data() + dw::kReservedList - 1;
  if (placement == kInSlot) {
    entries = stored.data() + dw::kInSlotTable - 1;
    capacity = dw::kInSlotEntries;
  } else if (placement == kInWordPool) {
    // Only words 1-41 of the descriptor are stored, the table after them;
    // a released matrix has no reserved records.
    entries = stored.data() + dw::kHeaderPrefixWords;
    capacity = kSmallTableEntries;
    reserved = no_list;
  } else {
    const int64_t records = word(stored, dw::kTableRecords);
    const int64_t first = word(stored, dw::kTableRecord);
    capacity = word(stored, dw::kTableCapacity);
    if (records < 1 || first < word(header_, fsw::kHeaderRecords) || first + records > end_ ||
        capacity < 1 ||
        int64_t{capacity} * extw::kWords > records * L_) {
      find(where, "words 23, 24 and 26 (" + num(records) + " records from record " + num(first) +
                      ", " + num(capacity) + " entries) do not fit the set", at);
      m.damaged = true;
      return;
    }
    m.saved_table.push_back(RecordRun{first, records});
    saved.resize(static_cast<size_t>(records * L_));
    for (int64_t r = 0; r < records; ++r) {
      if (!read(first + r, saved.data() + r * L_)) {
        find(where, "its record cannot be read", first + r);
        m.damaged = true;
        return;
      }
    }
    entries = saved.data();
    at = first;
  }
  const int32_t *lists[] = {stored.data() + dw::kUsedList - 1, reserved};
  std::string reason;
  if (!hm_check_extent_table(entries, capacity, stored.data() + dw::kTableFree - 1, lists, 2,
                             &reason)) {
    find(where, name_lists(reason, "the used-record list", "the reserved-record list"), at);
    m.damaged = true;
    return;
  }
  auto collect = [&](const int32_t *list, std::vector<RecordRun> &into) {
    for (int32_t e = list[listw::kFirst]; e != 0; e = *hm_extent_word(entries, e, extw::kNext)) {
      into.push_back(RecordRun{*hm_extent_word(entries, e, extw::kFirst),
                               *hm_extent_word(entries, e, extw::kLength)});
    }
  };
  collect(lists[0], m.used);
  collect(lists[1], m.reserved);
  m.table_sound = true;
}

namespace {

// The walk of one block index: every node read once into a buffer of its
// own, keys checked against the bounds their parents set.
struct IndexWalk {
  const StoredSet &set;
  StoredMatrix &m;
  std::string where;
  int32_t L;
  int32_t q;
  int64_t end;
  int64_t grid;
  int32_t height;
  std::set<int32_t> seen;
  struct Leaf {
    int32_t record, prev, next;
  };
  std::vector<Leaf> leaves;
  std::vector<std::pair<std::string, int64_t>> faults;

  void fault(const std::string &what, int64_t record) { faults.emplace_back(what, record); }

  // Smallest key below the node, or nothing when the node cannot be read.
  // Keys of this subtree must lie in [lo, hi).
  std::optional<int64_t> visit(int32_t record, int32_t level, int64_t lo, int64_t hi) {
    if (record < 1 || record >= end) {
      fault("an index node at record " + num(record) + " lies outside the set", -1);
      return std::nullopt;
    }
    if (!seen.insert(record).second) {
      fault("index node record " + num(record) + " is reached twice", record);
      return std::nullopt;
    }
    std::vector<int32_t> node(static_cast<size_t>(L));
    if (!set.read(record, node.data())) {
      fault("an index node's record cannot be read", record);
      return std::nullopt;
    }
    m.index_nodes.push_back(record);
    const int32_t leaf = word(node, idxw::kLeaf);
    const int32_t count = word(node, idxw::kCount);
    if (leaf != (level == height ? 1 : 0)) {
      fault("index node at depth " + num(level) + " of " + num(height) + " has leaf flag " +
                num(leaf),
            record);
      return std::nullopt;
    }
    if (count < 1 || count > q) {
      fault("index node holds " + num(count) + " entries, outside 1.." + num(q), record);
      return std::nullopt;
    }
    auto key = [&](int32_t i) { return int64_t{word(node, idxw::key_word(i))}; };
    auto value = [&](int32_t i) { return word(node, idxw::value_word(i)); };
    for (int32_t i = 1; i <= count; ++i) {
      if (i > 1 && key(i) <= key(i - 1)) {
        fault("index key out of order: entry " + num(i) + " (key " + num(key(i)) +
                  ") follows key " + num(key(i - 1)),
              record);
        return std::nullopt;
      }
      if (key(i) < lo || key(i) >= hi) {
        fault("index key " + num(key(i)) + " of entry " + num(i) + " lies outside " + num(lo) +
                  ".." + num(hi - 1) + ", the range its parent gives",
              record);
        return std::nullopt;
      }
    }
    if (leaf == 1) {
      leaves.push_back(Leaf{record, word(node, idxw::kPrevLeaf), word(node, idxw::kNextLeaf)});
      for (int32_t i = 1; i <= count; ++i) {
        if (key(i) < 1 || key(i) > grid) {
          fault("index key " + num(key(i)) + " is no block of the grid (1.." + num(grid) + ")",
                record);
        } else if (value(i) < 1 || value(i) >= end) {
          fault("index entry for key " + num(key(i)) + " names record " + num(value(i)) +
                    ", outside the set",
                record);
        } else {
          m.blocks.emplace_back(static_cast<int32_t>(key(i)), value(i));
        }
      }
      return key(1);
    }
    const std::optional<int64_t> smallest =
        visit(word(node, idxw::kChild0), level + 1, lo, key(1));
    for (int32_t i = 1; i <= count; ++i) {
      const int64_t upper = i < count ? key(i + 1) : hi;
      const std::optional<int64_t> below = visit(value(i), level + 1, key(i), upper);
      if (below && *below != key(i)) {
        fault("separator " + num(key(i)) + " of entry " + num(i) + " is not the smallest key " +
                  num(*below) + " of its child (record " + num(value(i)) + ")",
              record);
      }
    }
    return smallest;
  }
};

}  // namespace

void StoredSet::matrix_index(StoredMatrix &m) {
  const int32_t height = word(m.d, dw::kIndexHeight);
  if (height < 0) return;  // the header's index words were refused
  m.index_height = height;
  if (height == 0) {
    m.index_sound = true;
    return;
  }
  IndexWalk walk{*this,
                 m,
                 "matrix " + matrix_label(m.key) + " block index",
                 L_,
                 idxw::capacity(L_),
                 end_,
                 word(m.d, dw::kGridBlocks),
                 height,
                 {},
                 {},
                 {}};
  walk.visit(word(m.d, dw::kIndexRoot), 1, INT64_MIN, INT64_MAX);

  // The leaves, in key order, chained both ways.
  for (size_t i = 0; i < walk.leaves.size(); ++i) {
    const int32_t prev = i == 0 ? 0 : walk.leaves[i - 1].record;
    const int32_t next = i + 1 == walk.leaves.size() ? 0 : walk.leaves[i + 1].record;
    if (walk.leaves[i].prev != prev || walk.leaves[i].next != next) {
      walk.fault("the leaf chain is broken: the leaf links to " + num(walk.leaves[i].prev) +
                     " and " + num(walk.leaves[i].next) + ", its neighbours in key order are " +
                     num(prev) + " and " + num(next),
                 walk.leaves[i].record);
    }
  }
  if (walk.faults.empty()) {
    const int64_t nodes = static_cast<int64_t>(m.index_nodes.size());
    const int64_t entries = static_cast<int64_t>(m.blocks.size());
    if (nodes != word(m.d, dw::kIndexNodes) || entries != word(m.d, dw::kIndexEntries)) {
      walk.fault("the index holds " + num(nodes) + " nodes and " + num(entries) +
                     " entries, header words 34 and 35 say " + num(word(m.d, dw::kIndexNodes)) +
                     " and " + num(word(m.d, dw::kIndexEntries)),
                 m.header_record);
    }
  }
  // One triangle of blocks is stored for the symmetric and upper forms.
  if (word(m.d, dw::kTriangle) == 1) {
    for (const auto &[position, record] : m.blocks) {
      int32_t bi = 0, bj = 0, r = 0, q = 0;
      hm_block_indices(m.d.data(), 1, position, bi, bj, r, q);
      if (bi > bj) {
        walk.fault("block (" + num(bi) + ", " + num(bj) +
                       ") lies below the diagonal, which this storage form does not store",
                   record);
        break;
      }
    }
  }
  for (const auto &[what, record] : walk.faults) find(walk.where, what, record);
  m.index_sound = walk.faults.empty();
  if (!m.index_sound) m.damaged = true;
}

void StoredSet::matrix_blocks(StoredMatrix &m) {
  const std::string where = "matrix " + matrix_label(m.key);
  // What each record of the matrix holds: index nodes, blocks of their own,
  // and packed edge records (several edge blocks each).
  std::vector<std::pair<int32_t, std::string>> holds;
  for (int32_t r : m.index_nodes) holds.emplace_back(r, "an index node");
  std::map<int32_t, std::pair<int32_t, std::set<int32_t>>> packed;  // record -> kind, positions
  for (const auto &[position, record] : m.blocks) {
    int32_t bi = 0, bj = 0, r = 0, q = 0, kind = 0, rows = 0, cols = 0;
    hm_block_indices(m.d.data(), 1, position, bi, bj, r, q);
    hm_block_shape(m.d.data(), 1, bi, bj, kind, rows, cols);
    if (kind == kKindBlock) {
      holds.emplace_back(record, block_text(m, position));
      continue;
    }
    auto [it, fresh] = packed.try_emplace(record, kind, std::set<int32_t>{});
    if (!fresh && it->second.first != kind) {
      find(where, "packed record " + num(record) + " is named for blocks of both edges", record);
      m.damaged = true;
    }
    it->second.second.insert(position);
  }

  // Each packed record's trailer lists exactly the blocks the index names in it.
  std::vector<int32_t> buffer(static_cast<size_t>(L_));
  for (const auto &[record, entry] : packed) {
    const auto &[kind, positions] = entry;
    holds.emplace_back(record, "a packed edge record");
    if (!read(record, buffer.data())) {
      find(where, "a packed edge record cannot be read", record);
      m.damaged = true;
      continue;
    }
    const int32_t per = word(m.d, kind == kKindRightEdge ? dw::kRightPerRecord : dw::kBottomPerRecord);
    const int32_t count = word(buffer, L_);
    if (count < 1 || count > std::min(per, L_ - 1)) {
      find(where, "packed edge record holds " + num(count) + " blocks, outside 1.." +
                      num(std::min(per, L_ - 1)), record);
      m.damaged = true;
      continue;
    }
    std::set<int32_t> listed;
    for (int32_t k = 1; k <= count; ++k) {
      const int32_t p = word(buffer, L_ - k);
      if (!listed.insert(p).second) {
        find(where, "packed edge record lists position " + num(p) + " twice", record);
        m.damaged = true;
      } else if (positions.count(p) == 0) {
        find(where, "packed edge record lists position " + num(p) +
                        ", which the index does not place in it", record);
        m.damaged = true;
      }
    }
    for (int32_t p : positions) {
      if (listed.count(p) == 0) {
        find(where, "the index places " + block_text(m, p) +
                        " in this packed edge record, whose trailer does not list it", record);
        m.damaged = true;
      }
    }
  }

  // No record holds two things, and the used-record list is exactly what
  // the records hold.
  std::sort(holds.begin(), holds.end());
  for (size_t i = 1; i < holds.size(); ++i) {
    if (holds[i].first == holds[i - 1].first) {
      find(where, "record " + num(holds[i].first) + " is " + holds[i - 1].second + " and " +
                      holds[i].second, holds[i].first);
      m.damaged = true;
    }
  }
  if (!m.table_sound) return;
  std::vector<int64_t> held;
  for (const auto &hold : holds) {
    if (held.empty() || held.back() != hold.first) held.push_back(hold.first);
  }
  std::vector<RecordRun> used = m.used;
  std::sort(used.begin(), used.end(),
            [](const RecordRun &a, const RecordRun &b) { return a.first < b.first; });
  for (size_t i = 0; i < holds.size(); ++i) {
    if (i > 0 && holds[i].first == holds[i - 1].first) continue;
    const int64_t r = holds[i].first;
    auto after = std::upper_bound(used.begin(), used.end(), r,
                                  [](int64_t v, const RecordRun &run) { return v < run.first; });
    if (after == used.begin() || std::prev(after)->first + std::prev(after)->count <= r) {
      find(where, "record " + num(r) + " holds " + holds[i].second +
                      " but is not in its used-record list", r);
      m.damaged = true;
    }
  }
  // Used records that hold nothing: space lost to the set.
  for (const RecordRun &run : used) {
    int64_t from = run.first;
    const int64_t stop = run.first + run.count;
    for (auto it = std::lower_bound(held.begin(), held.end(), from); from < stop; ++it) {
      const int64_t next = it == held.end() ? stop : std::min(*it, stop);
      if (next > from) {
        find(where, run_text(from, next - from) +
                        " of its used-record list hold no block, packed edge record or index node",
             from);
      }
      from = next + 1;
      if (it == held.end()) break;
    }
  }
}

// ---- 4. the accounting ---------------------------------------------------------

void StoredSet::account() {
  struct Run {
    int64_t first, count;
    std::string owner;
  };
  std::vector<Run> runs;
  const int64_t h = word(header_, fsw::kHeaderRecords);
  runs.push_back(Run{0, h, "the set header"});
  runs.push_back(Run{word(header_, fsw::kTableFirstRecord), word(header_, fsw::kTableRecords),
                     "the set's extent table"});
  runs.push_back(Run{word(header_, fsw::kNodeFirstRecord), word(header_, fsw::kNodeRecords),
                     "the node table"});
  if (tables_sound_) {
    for (int32_t list : {fsw::kListA, fsw::kListB}) {
      for (int32_t e = word(header_, list + listw::kFirst); e != 0;
           e = *hm_extent_word(table_.data(), e, extw::kNext)) {
        runs.push_back(Run{*hm_extent_word(table_.data(), e, extw::kFirst),
                           *hm_extent_word(table_.data(), e, extw::kLength),
                           list == fsw::kListA ? "list A (free index records)"
                                               : "list B (free data records)"});
      }
    }
  }
  // Header records hold several headers; each is one owner.
  std::set<int64_t> header_records;
  if (word(header_, fsw::kHeaderRecord) != 0) header_records.insert(word(header_, fsw::kHeaderRecord));
  if (directory_sound_) {
    const NodeTable t{nodes_.data(), dirw::kLength, dirw::kKey, dw::kKeyWords};
    for (size_t x = 1; x < node_place_.size(); ++x) {
      if (node_place_[x] == kInTree || node_place_[x] == kReleased) {
        header_records.insert(*tree_node_word(t, static_cast<int32_t>(x), dirw::kHeaderRecord));
      }
    }
  }
  for (int64_t r : header_records) runs.push_back(Run{r, 1, "a matrix header record"});
  for (const StoredMatrix &m : matrices_) {
    const std::string who = "matrix " + matrix_label(m.key);
    for (const RecordRun &r : m.saved_table)
      runs.push_back(Run{r.first, r.count, who + " (saved extent table)"});
    if (m.table_sound) {
      for (const RecordRun &r : m.used) runs.push_back(Run{r.first, r.count, who});
      for (const RecordRun &r : m.reserved) runs.push_back(Run{r.first, r.count, who + " (reserved)"});
    } else if (m.index_sound) {
      // Its list is unusable: what its index reaches stands in for it.
      std::set<int64_t> held(m.index_nodes.begin(), m.index_nodes.end());
      for (const auto &block : m.blocks) held.insert(block.second);
      for (int64_t r : held) runs.push_back(Run{r, 1, who});
    }
  }

  // Records nobody holds are leaks only when every holder could be read:
  // with a free list or a matrix's records unknown, they are that holder's.
  bool owners_known = tables_sound_;
  for (const StoredMatrix &m : matrices_) owners_known = owners_known && (m.table_sound || m.index_sound);

  std::stable_sort(runs.begin(), runs.end(),
                   [](const Run &a, const Run &b) { return a.first < b.first; });
  const std::string where = "records of the set";
  int64_t reach = 0;
  std::string reach_owner;
  for (Run &run : runs) {
    if (run.count < 1) continue;
    if (run.first < 0 || run.first + run.count > end_) {
      find(where, run_text(run.first, run.count) + " of " + run.owner +
                      " lie outside the set (its end is " + num(end_) + ")",
           run.first);
      const int64_t stop = std::min(run.first + run.count, end_);
      run.first = std::max<int64_t>(run.first, 0);
      run.count = stop - run.first;
      if (run.count < 1) continue;
    }
    if (run.first > reach) {
      if (owners_known) {
        find(where, run_text(reach, run.first - reach) +
                        " are held by no one and not free (leaked)",
             reach);
      }
    } else if (run.first < reach) {
      const int64_t stop = std::min(reach, run.first + run.count);
      find(where, run_text(run.first, stop - run.first) + " are held both by " + reach_owner +
                      " and by " + run.owner,
           run.first);
    }
    if (run.first + run.count > reach) {
      reach = run.first + run.count;
      reach_owner = run.owner;
    }
  }
  if (reach < end_ && owners_known) {
    find(where, run_text(reach, end_ - reach) + " are held by no one and not free (leaked)",
         reach);
  }
}

}  // namespace tessera
