// A file set read from its files, without a control area: the self-check of
// a set at rest and the model behind the read-only inspection interface
// (tessera_check.h).
//
// Nothing here goes through the library's own open path. The files are
// opened and read through the record-file service only, every stored word is
// range-checked before it positions or counts anything, and every structure
// is walked with bounds and visited marks, so a damaged set yields findings,
// never a crash, a stray read or an endless walk. Nothing is ever written.
//
// What is read, in this order:
//  1. the files: each must exist and be a record file, all with one record
//     length; record 0 of file 1 must be a set header (a header found in
//     another file means the files are out of order), and the set's end must
//     be shared evenly by the files given (else files are missing or extra);
//  2. the set header's words, the set's extent table (lists A and B) and the
//     node table (directory tree, released-node list, free-node list);
//  3. every matrix of the directory: its header (key, type, form, shape,
//     geometry, index words), its saved extent table (used and reserved
//     records), its block index (nodes, keys, separators, leaf chain) and the
//     packed edge records the index names;
//  4. the accounting: every record from 0 to the set's end is held exactly
//     once: by the header, a table, a free list, a header record, or a
//     matrix (index node, block, packed edge record, saved extent table).
// Each fault found is one Finding; reading goes on past it where the
// structure still allows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessera {

// Why a list of files cannot be read as one file set.
enum class SetProblem : int32_t {
  kNone = 0,
  kMissingFile,    // a name that does not exist
  kNotRecordFile,  // a file the record-file service cannot open
  kNotASet,        // no set header where file 1 should hold it, record lengths that differ,
                   // or files of two sets
  kFileOrder,      // the files of one set, in another order than they were created in
  kFileCount,      // more or fewer files than the set has
};

// One fault: the structure it was found in, what is wrong, and the record it
// concerns (-1 when none).
struct Finding {
  std::string where;
  std::string what;
  int64_t record = -1;
};

// A run of records held by one owner.
struct RecordRun {
  int64_t first = 0;
  int64_t count = 0;
};

// One matrix of the directory as its stored structures describe it.
struct StoredMatrix {
  int32_t node = 0;                   // directory node
  int32_t key[4] = {0, 0, 0, 0};      // qualifier and the three name words
  int32_t header_record = 0, header_offset = 0;
  // The stored header (128 words, word w at d[w - 1]) with the block order
  // and every geometry word computed from the shape; set when header_sound.
  std::vector<int32_t> d;
  bool header_sound = false;
  bool table_sound = false;           // used/reserved below are complete
  bool index_sound = false;           // blocks below are complete
  bool damaged = false;               // any finding about this matrix
  std::vector<RecordRun> used, reserved, saved_table;
  std::vector<int32_t> index_nodes;   // records of the index's nodes
  // Stored blocks in position order: (position, record).
  std::vector<std::pair<int32_t, int32_t>> blocks;
  int32_t index_height = 0;
};

class StoredSet {
 public:
  StoredSet() = default;
  ~StoredSet();
  StoredSet(const StoredSet &) = delete;
  StoredSet &operator=(const StoredSet &) = delete;

  // Open the files and read the set (steps 1 to 4 above). On a problem of
  // step 1 the set stays closed, `message` holds a sentence for the user
  // naming the files concerned, and the problem is returned. Findings of
  // steps 2 to 4 do not stop the open.
  SetProblem open(const std::vector<std::string> &names, std::string &message);

  const std::vector<Finding> &findings() const { return findings_; }
  // Header words 1-100 (word w at header()[w - 1]).
  const std::vector<int32_t> &header() const { return header_; }
  int32_t record_length() const { return L_; }
  int32_t files() const { return static_cast<int32_t>(handles_.size()); }
  const std::vector<std::string> &names() const { return names_; }
  // Matrices in directory (key) order; empty when the directory is unusable.
  const std::vector<StoredMatrix> &matrices() const { return matrices_; }
  // False when the set's tables or directory could not be read, so the
  // matrices listed may not be all there are.
  bool directory_sound() const { return directory_sound_; }

  // Read record r of the set into buffer (L words); false when r lies
  // outside the set or the read is refused.
  bool read(int64_t r, int32_t *buffer) const;

  // Name of a matrix for messages: "A" (qualifier 1), non-printable bytes
  // as \xNN, trailing blanks dropped.
  static std::string matrix_label(const int32_t *key);

 private:
  bool open_files(const std::vector<std::string> &names, std::string &message, SetProblem &p);
  void close_files();
  // Steps 2 to 4 on the files in their present order.
  void survey();
  bool survey_header();
  bool load_tables();
  void survey_directory();
  void survey_matrix(StoredMatrix &m);
  bool matrix_header(StoredMatrix &m, const std::vector<int32_t> &record);
  void matrix_table(StoredMatrix &m, const std::vector<int32_t> &record);
  void matrix_index(StoredMatrix &m);
  void matrix_blocks(StoredMatrix &m);
  void account();
  // Number of set-level findings (header, tables, directory, header keys) with
  // the files taken in `order`; used to find the order a set was made in.
  int32_t set_level_findings(const std::vector<int32_t> &order);
  void find(const std::string &where, const std::string &what, int64_t record = -1);

  std::vector<std::string> names_;
  std::vector<int32_t> handles_;
  std::vector<int32_t> file_records_;
  int32_t L_ = 0;
  int64_t end_ = 0;
  std::vector<int32_t> header_;
  std::vector<int32_t> table_;   // the set's extent table
  std::vector<int32_t> nodes_;   // the node table
  std::vector<char> node_place_;
  bool tables_sound_ = false;
  bool directory_sound_ = false;
  std::vector<StoredMatrix> matrices_;
  std::vector<Finding> findings_;
  int64_t dropped_ = 0;
};

}  // namespace tessera
