// The record-ownership check of a file set (see space_invariants.h). It
// walks the set's lists with every index bounded, so a damaged table gives a
// reason rather than a stray read.
#include "catalogue/space_invariants.h"

#include <set>

#include "catalogue/descriptor_words.h"
#include "common/word_view.h"
#include "control/control_words.h"

namespace tessera {
namespace {

class Claims {
 public:
  explicit Claims(int32_t end) : owner_(end > 0 ? end : 0, nullptr) {}

  bool claim(int32_t first, int32_t length, const char *who, std::string *why) {
    if (length < 1) return fail(why, std::string(who) + ": run of length " +
                                         std::to_string(length) + " at " + std::to_string(first));
    for (int64_t r = first; r < int64_t{first} + length; ++r) {
      if (r < 0 || r >= static_cast<int64_t>(owner_.size())) {
        return fail(why, std::string(who) + ": record " + std::to_string(r) +
                             " is outside the set (end " + std::to_string(owner_.size()) + ")");
      }
      if (owner_[r] != nullptr) {
        return fail(why, "record " + std::to_string(r) + " is " + owner_[r] + " and " + who);
      }
      owner_[r] = who;
    }
    return true;
  }

  bool complete(std::string *why) const {
    for (size_t r = 0; r < owner_.size(); ++r) {
      if (owner_[r] == nullptr) {
        return fail(why, "record " + std::to_string(r) + " is neither free nor used");
      }
    }
    return true;
  }

 private:
  static bool fail(std::string *why, const std::string &reason) {
    if (why != nullptr) *why = reason;
    return false;
  }
  std::vector<const char *> owner_;
};

bool walk_list(const int32_t *entries, int32_t capacity, const int32_t *list, const char *who,
               Claims &claims, std::string *why) {
  int32_t e = list[listw::kFirst], seen = 0;
  while (e != 0) {
    if (e < 1 || e > capacity || seen >= capacity) {
      if (why != nullptr) *why = std::string(who) + ": entry " + std::to_string(e) + " out of table";
      return false;
    }
    const int32_t *entry = entries + (e - 1) * extw::kWords;
    if (!claims.claim(entry[extw::kFirst - 1], entry[extw::kLength - 1], who, why)) return false;
    ++seen;
    e = entry[extw::kNext - 1];
  }
  return true;
}

}  // namespace

bool hm_check_fileset_records(int32_t *ctrl, int32_t P, std::string *why,
                              const std::vector<RecordRun> &extra) {
  WordView fs(ctrl, P);
  Claims claims(fs[fsw::kEnd]);
  if (!claims.claim(fs[fsw::kFirstHeaderRecord], fs[fsw::kHeaderRecords], "the set's header", why) ||
      !claims.claim(fs[fsw::kTableFirstRecord], fs[fsw::kTableRecords], "the set's extent table",
                    why) ||
      !claims.claim(fs[fsw::kNodeFirstRecord], fs[fsw::kNodeRecords], "the node table", why)) {
    return false;
  }
  const int32_t *entries = word_at(ctrl, fs[fsw::kTablePos]);
  const int32_t capacity = fs[fsw::kTableCapacity];
  if (!walk_list(entries, capacity, fs.at(fsw::kListA), "free (list A)", claims, why) ||
      !walk_list(entries, capacity, fs.at(fsw::kListB), "free (list B)", claims, why)) {
    return false;
  }

  // Header records: those of every node that ever held a matrix (in the tree
  // or released; free nodes are on the node free list), and the current one.
  const int32_t nodes = fs[fsw::kNodeCapacity];
  const int32_t *table = word_at(ctrl, fs[fsw::kNodePos]);
  std::vector<bool> free_node(nodes + 1, false);
  int32_t n = fs[fsw::kNodeFirstFree];
  for (int32_t i = 0; i < fs[fsw::kNodeFree]; ++i) {
    if (n < 1 || n > nodes) {
      if (why != nullptr) *why = "node free list leaves the table at node " + std::to_string(n);
      return false;
    }
    free_node[n] = true;
    n = table[(n - 1) * dirw::kLength + dirw::kReleasedLink - 1];
  }
  std::set<int32_t> headers;
  if (fs[fsw::kHeaderRecord] != 0) headers.insert(fs[fsw::kHeaderRecord]);
  for (int32_t node = 1; node <= nodes; ++node) {
    if (!free_node[node]) headers.insert(table[(node - 1) * dirw::kLength + dirw::kHeaderRecord - 1]);
  }
  for (int32_t r : headers) {
    if (!claims.claim(r, 1, "a header record", why)) return false;
  }
  for (const RecordRun &run : extra) {
    if (!claims.claim(run.first, run.length, run.owner, why)) return false;
  }
  return claims.complete(why);
}

}  // namespace tessera
