// The consistency checker (consistency.h). It reads the control area with
// every position bounded before use: a damaged word must give a reason, not a
// stray read. Ownership is proved by claiming: each unit, word, buffer, node
// or record is claimed once by the structure that holds it, and whatever is
// claimed twice or not at all is the fault reported.
#include "selfcheck/consistency.h"

#include <algorithm>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "catalogue/extent_list.h"
#include "catalogue/invariants.h"
#include "catalogue/tree.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/record_io.h"
#include "control/trace.h"
#include "transfer/transfer_words.h"

namespace tessera {
namespace {

bool fail(std::string *why, std::string text) {
  if (why != nullptr) *why = std::move(text);
  return false;
}

std::string num(int64_t v) { return std::to_string(v); }

// Pool placement 1..3 of a matrix's extent table.
constexpr int32_t kInSlot = 1;
constexpr int32_t kInWordPool = 2;
constexpr int32_t kInRecords = 3;
// Entries of the 87-word area (placement 2).
constexpr int32_t kSmallTableEntries = dw::kSmallTableWords / extw::kWords;

// A range of numbered things (units, words, buffers, records), each claimed
// by at most one owner.
class Claims {
 public:
  Claims(int64_t low, int64_t high, std::string what)
      : low_(low), what_(std::move(what)),
        owner_(high >= low ? static_cast<size_t>(high - low + 1) : 0, -1) {}

  bool claim(int64_t first, int64_t count, const std::string &who, std::string *why) {
    if (count < 1) {
      return fail(why, what_ + ": " + who + " holds a run of " + num(count) + " at " +
                           num(first));
    }
    if (first < low_ || first + count > low_ + static_cast<int64_t>(owner_.size())) {
      return fail(why, what_ + ": " + who + " holds " + num(first) + "+" + num(count) +
                           ", outside " + num(low_) + ".." +
                           num(low_ + static_cast<int64_t>(owner_.size()) - 1));
    }
    const int32_t id = static_cast<int32_t>(names_.size());
    names_.push_back(who);
    for (int64_t i = first; i < first + count; ++i) {
      int32_t &o = owner_[static_cast<size_t>(i - low_)];
      if (o >= 0) {
        return fail(why, what_ + ": " + num(i) + " is held by " + names_[o] + " and by " + who);
      }
      o = id;
    }
    return true;
  }

  // Everything claimed; otherwise the first unclaimed run is named.
  bool complete(std::string *why) const {
    for (size_t i = 0; i < owner_.size(); ++i) {
      if (owner_[i] >= 0) continue;
      size_t j = i;
      while (j < owner_.size() && owner_[j] < 0) ++j;
      return fail(why, what_ + ": " + num(low_ + static_cast<int64_t>(i)) + "+" +
                           num(static_cast<int64_t>(j - i)) +
                           " held by no one and not free (leaked)");
    }
    return true;
  }

 private:
  int64_t low_;
  std::string what_;
  std::vector<int32_t> owner_;
  std::vector<std::string> names_;
};

// ---- slot tables -----------------------------------------------------------

// A slot table of n slots with stride 1: the free list from `head` holds
// `free_count` distinct slots, none marked -1, and every other slot is -1.
bool check_slot_table(const int32_t *links, int32_t n, int32_t free_count, int32_t head,
                      const char *name, std::string *why) {
  if (n < 0) return fail(why, std::string(name) + ": negative slot count");
  std::vector<char> seen(static_cast<size_t>(n) + 1, 0);
  int32_t walked = 0;
  for (int32_t s = head; s != 0; s = links[s - 1]) {
    if (s < 1 || s > n) return fail(why, std::string(name) + ": free slot " + num(s) +
                                             " outside 1.." + num(n));
    if (seen[s] != 0) return fail(why, std::string(name) + ": free list reaches slot " +
                                           num(s) + " twice");
    if (links[s - 1] == cw::kSlotInUse) {
      return fail(why, std::string(name) + ": slot " + num(s) +
                           " is on the free list and marked in use");
    }
    seen[s] = 1;
    ++walked;
  }
  if (walked != free_count) {
    return fail(why, std::string(name) + ": free count " + num(free_count) +
                         ", the free list holds " + num(walked));
  }
  for (int32_t s = 1; s <= n; ++s) {
    if (seen[s] == 0 && links[s - 1] != cw::kSlotInUse) {
      return fail(why, std::string(name) + ": slot " + num(s) +
                           " is neither free nor marked in use");
    }
  }
  return true;
}

// The area of a control area that the checks walk: validated handles of open
// file sets and matrices.
struct Area {
  int32_t *ctrl;
  WordView c;

  explicit Area(int32_t *p) : ctrl(p), c(control_view(p)) {}

  bool slot_in_use(int32_t links_word, int32_t slots_word, int32_t s) const {
    return s >= 1 && s <= c[slots_word] && word_at(ctrl, c[links_word])[s - 1] == cw::kSlotInUse;
  }
  bool open_fileset(int32_t P) const {
    const int64_t d = int64_t{P} - c[cw::kFsArea1];
    return d >= 0 && d % cw::kFilesetAreaWords == 0 &&
           slot_in_use(cw::kFsLinks, cw::kFsSlots,
                       static_cast<int32_t>(d / cw::kFilesetAreaWords) + 1);
  }
  bool open_matrix(int32_t D) const {
    const int64_t d = int64_t{D} - c[cw::kDescArea1];
    return d >= 0 && d % cw::kDescriptorWords == 0 &&
           slot_in_use(cw::kDescLinks, cw::kDescSlots,
                       static_cast<int32_t>(d / cw::kDescriptorWords) + 1);
  }
  std::vector<int32_t> filesets() const {
    std::vector<int32_t> out;
    for (int32_t s = 1; s <= c[cw::kFsSlots]; ++s) {
      if (slot_in_use(cw::kFsLinks, cw::kFsSlots, s)) {
        out.push_back(c[cw::kFsArea1] + (s - 1) * cw::kFilesetAreaWords);
      }
    }
    return out;
  }
  std::vector<int32_t> matrices() const {
    std::vector<int32_t> out;
    for (int32_t s = 1; s <= c[cw::kDescSlots]; ++s) {
      if (slot_in_use(cw::kDescLinks, cw::kDescSlots, s)) {
        out.push_back(c[cw::kDescArea1] + (s - 1) * cw::kDescriptorWords);
      }
    }
    return out;
  }
  WordView view(int32_t position) const { return WordView(ctrl, position); }

  // The run of `words` words from `position` lies inside the control area
  // (whose length is word 131 + 256).
  bool inside(int64_t position, int64_t words) const {
    return position >= 1 && words >= 0 &&
           position + words - 1 <= int64_t{c[cw::kLastPoolWord]} + cw::kFixedWords;
  }
  // A set whose removal or kill failed part-way has given its tables back
  // (their positions are 0): only a retry of the removal or kill is left.
  bool dismantled(int32_t P) const {
    WordView fs = view(P);
    return fs[fsw::kTablePos] == 0 || fs[fsw::kNodePos] == 0;
  }
};

std::string matrix_name(int32_t D) { return "matrix " + num(D); }
std::string fileset_name(int32_t P) { return "file set " + num(P); }

// ---- pools -----------------------------------------------------------------

// Claim the free runs of one pool's list.
bool claim_free_runs(Area &a, int32_t table_word, int32_t list_word, Claims &claims,
                     std::string *why) {
  const int32_t *entries = word_at(a.ctrl, a.c[table_word]);
  const int32_t *list = a.c.at(list_word);
  for (int32_t e = list[listw::kFirst]; e != 0; e = *hm_extent_word(entries, e, extw::kNext)) {
    if (!claims.claim(*hm_extent_word(entries, e, extw::kFirst),
                      *hm_extent_word(entries, e, extw::kLength), "the free list", why)) {
      return false;
    }
  }
  return true;
}

// Every unit, word and pair-pool word is free or held by a known owner.
bool check_pool_owners(Area &a, std::string *why) {
  WordView &c = a.c;
  const int32_t u = c[cw::kUnitSize];
  if (u < 1) return fail(why, "unit pool: unit size " + num(u));
  Claims units(1, c[cw::kUnitCount], "unit pool");
  Claims words(c[cw::kWordBase], int64_t{c[cw::kWordBase]} + c[cw::kWordSize] - 1, "word pool");
  Claims pairs(c[cw::kPairBase], int64_t{c[cw::kPairBase]} + c[cw::kPairSize] - 1, "pair pool");

  auto unit_area = [&](int32_t address, int64_t size, const std::string &who) {
    if (address == 0) return true;
    const int64_t off = int64_t{address} - c[cw::kUnitBase];
    if (off < 0 || off % u != 0) {
      return fail(why, "unit pool: " + who + " at word " + num(address) +
                           " is not on a unit boundary");
    }
    return units.claim(off / u + 1, (size + u - 1) / u, who, why);
  };
  auto pair_area = [&](int32_t address, int64_t size, const std::string &who) {
    if (address == 0) return true;
    return pairs.claim(address, (size + 1) / 2 * 2, who, why);
  };

  for (int32_t P : a.filesets()) {
    WordView fs = a.view(P);
    const int64_t L = fs[fsw::kRecordLength];
    const std::string who = fileset_name(P);
    if (!unit_area(fs[fsw::kTablePos], fs[fsw::kTableRecords] * L, who + " extent table") ||
        !unit_area(fs[fsw::kNodePos], fs[fsw::kNodeRecords] * L, who + " node table") ||
        !unit_area(fs[fsw::kWorkBuffer], L, who + " work buffer") ||
        !pair_area(fs[fsw::kStack1], 2 * int64_t{fs[fsw::kStack1Capacity]}, who + " stack 1") ||
        !pair_area(fs[fsw::kStack2], 2 * int64_t{fs[fsw::kStack2Capacity]}, who + " stack 2")) {
      return false;
    }
  }
  for (int32_t D : a.matrices()) {
    WordView d = a.view(D);
    const std::string who = matrix_name(D);
    if (!a.open_fileset(d[dw::kFileset])) continue;  // reported by the matrix checks
    const int64_t L = a.view(d[dw::kFileset])[fsw::kRecordLength];
    const int32_t table = d[dw::kTableAddress];
    if (table != 0 && d[dw::kPlacement] == kInWordPool &&
        !words.claim(table, dw::kSmallTableWords, who + " extent table", why)) {
      return false;
    }
    if (table != 0 && d[dw::kPlacement] == kInRecords &&
        !unit_area(table, d[dw::kTableRecords] * L, who + " extent table")) {
      return false;
    }
    if (!unit_area(d[dw::kRootArea], L, who + " index root area")) return false;
  }
  return claim_free_runs(a, cw::kUnitTable, cw::kUnitList, units, why) &&
         claim_free_runs(a, cw::kWordTable, cw::kWordList, words, why) &&
         claim_free_runs(a, cw::kPairTable, cw::kPairList, pairs, why) &&
         units.complete(why) && words.complete(why) && pairs.complete(why);
}

// ---- buffers ---------------------------------------------------------------

NodeTable buffer_tree(Area &a, int32_t cls) {
  return NodeTable{word_at(a.ctrl, a.c[cw::kBufferHeaders]), bufw::kLength,
                   cls == bufw::kClassBlock ? bufw::kBlock : bufw::kRecord, 1};
}

// Nodes of a tree already proved sound by hm_check_tree.
std::vector<int32_t> tree_nodes(const NodeTable &t, int32_t root) {
  std::vector<int32_t> out, stack;
  if (root != 0) stack.push_back(root);
  while (!stack.empty()) {
    const int32_t n = stack.back();
    stack.pop_back();
    out.push_back(n);
    for (int32_t w : {treew::left(t.length), treew::right(t.length)}) {
      if (const int32_t child = *tree_node_word(t, n, w); child != 0) stack.push_back(child);
    }
  }
  return out;
}

bool check_buffers(Area &a, std::string *why) {
  WordView &c = a.c;
  const int32_t B = c[cw::kBufferCount];
  const int32_t size = c[cw::kBufferSize];
  if (B < 0 || size < 1) return fail(why, "buffer pool: " + num(B) + " buffers of " + num(size));
  auto hdr = [&](int32_t x) { return a.view(c[cw::kBufferHeaders] + bufw::kLength * (x - 1)); };
  // Buffer number of a data position, or 0 when it is not one.
  auto number = [&](int32_t position) -> int32_t {
    const int64_t off = int64_t{position} - c[cw::kBuffer1];
    if (off < 0 || off % size != 0 || off / size >= B) return 0;
    return static_cast<int32_t>(off / size) + 1;
  };

  enum Place : char { kNowhere, kFree, kInTree, kCurrentEdge };
  std::vector<char> place(static_cast<size_t>(B) + 1, kNowhere);
  std::vector<char> allowed_pin(static_cast<size_t>(B) + 1, 0);

  int32_t walked = 0;
  for (int32_t x = c[cw::kBufferFirstFree]; x != 0; x = hdr(x)[bufw::kNext]) {
    if (x < 1 || x > B) return fail(why, "buffer free list leaves the pool at " + num(x));
    if (place[x] != kNowhere) return fail(why, "buffer free list reaches " + num(x) + " twice");
    if (hdr(x)[bufw::kOwner] != 0) {
      return fail(why, "buffer " + num(x) + " is free and owned by " +
                           num(hdr(x)[bufw::kOwner]));
    }
    place[x] = kFree;
    ++walked;
  }
  if (walked != c[cw::kBufferFree]) {
    return fail(why, "buffer free count " + num(c[cw::kBufferFree]) + ", the free list holds " +
                         num(walked));
  }

  for (int32_t D : a.matrices()) {
    WordView d = a.view(D);
    for (int32_t cls = bufw::kClassIndex; cls <= bufw::kClassBottomEdge; ++cls) {
      // A direct table replaces the class-2 tree; its layout is the buffer
      // module's own and is not walked here.
      if (cls == bufw::kClassBlock && d[dw::kDirectTable] == 1) continue;
      const NodeTable t = buffer_tree(a, cls);
      const int32_t count = d[dw::tree_count(cls)], root = d[dw::tree_root(cls)];
      std::string reason;
      if (!hm_check_tree(t, B, count, root, &reason)) {
        return fail(why, matrix_name(D) + " class-" + num(cls) + " buffer tree: " + reason);
      }
      for (int32_t x : tree_nodes(t, root)) {
        if (place[x] == kFree) {
          return fail(why, "buffer " + num(x) + " is free and in the class-" + num(cls) +
                               " tree of " + matrix_name(D));
        }
        if (place[x] != kNowhere) {
          return fail(why, "buffer " + num(x) + " is in two lookup trees (the class-" +
                               num(cls) + " tree of " + matrix_name(D) + ")");
        }
        if (hdr(x)[bufw::kOwner] != D || hdr(x)[bufw::kClass] != cls) {
          return fail(why, "buffer " + num(x) + " of owner " + num(hdr(x)[bufw::kOwner]) +
                               " class " + num(hdr(x)[bufw::kClass]) + " is in the class-" +
                               num(cls) + " tree of " + matrix_name(D));
        }
        place[x] = kInTree;
      }
    }
    for (int32_t w : {dw::kRightBuffer, dw::kBottomBuffer}) {
      if (d[w] == 0) continue;
      const int32_t x = number(d[w]);
      if (x == 0) return fail(why, matrix_name(D) + " current edge buffer " + num(d[w]) +
                                       " is not a buffer of the pool");
      if (place[x] != kNowhere) {
        return fail(why, "buffer " + num(x) + ", current edge buffer of " + matrix_name(D) +
                             ", is also " + (place[x] == kFree ? "free" : "in a tree or current"));
      }
      if (hdr(x)[bufw::kOwner] != D) {
        return fail(why, "buffer " + num(x) + ", current edge buffer of " + matrix_name(D) +
                             ", is owned by " + num(hdr(x)[bufw::kOwner]));
      }
      place[x] = kCurrentEdge;
      allowed_pin[x] = 1;
    }
    for (int32_t w : {dw::kHeldBuffer, dw::kHeldBuffer2}) {
      if (d[w] == 0 || d[w] == d[dw::kRootArea]) continue;
      const int32_t x = number(d[w]);
      if (x == 0 || hdr(x)[bufw::kOwner] != D) {
        return fail(why, matrix_name(D) + " holds " + num(d[w]) +
                             ", which is not a buffer it owns");
      }
      allowed_pin[x] = 1;
    }
  }

  for (int32_t x = 1; x <= B; ++x) {
    if (place[x] != kNowhere) continue;
    const int32_t owner = hdr(x)[bufw::kOwner];
    if (owner == 0) return fail(why, "buffer " + num(x) + " is neither free nor owned (leaked)");
    if (!a.open_matrix(owner)) {
      return fail(why, "buffer " + num(x) + " is owned by " + num(owner) +
                           ", which is no open matrix");
    }
    return fail(why, "buffer " + num(x) + " of " + matrix_name(owner) + " class " +
                         num(hdr(x)[bufw::kClass]) + " is in none of its trees");
  }

  // Use list: the unpinned owned buffers, each once, linked both ways.
  std::vector<char> listed(static_cast<size_t>(B) + 1, 0);
  int32_t prev = 0, count = 0;
  for (int32_t x = c[cw::kUseFirst]; x != 0; x = hdr(x)[bufw::kNext]) {
    if (x < 1 || x > B) return fail(why, "use list leaves the pool at " + num(x));
    if (listed[x] != 0) return fail(why, "use list reaches buffer " + num(x) + " twice");
    if (place[x] == kFree) return fail(why, "buffer " + num(x) + " is free and on the use list");
    if (hdr(x)[bufw::kPins] != 0) {
      return fail(why, "buffer " + num(x) + " is pinned " + num(hdr(x)[bufw::kPins]) +
                           " times and on the use list");
    }
    if (hdr(x)[bufw::kPrev] != prev) {
      return fail(why, "use list: buffer " + num(x) + " has previous " +
                           num(hdr(x)[bufw::kPrev]) + ", expected " + num(prev));
    }
    listed[x] = 1;
    prev = x;
    ++count;
  }
  if (c[cw::kUseLast] != prev) {
    return fail(why, "use list last is " + num(c[cw::kUseLast]) + ", the walk ends at " +
                         num(prev));
  }
  if (c[cw::kUseCount] != count) {
    return fail(why, "use list count " + num(c[cw::kUseCount]) + ", the walk finds " + num(count));
  }
  for (int32_t x = 1; x <= B; ++x) {
    if (place[x] == kFree) continue;
    const int32_t pins = hdr(x)[bufw::kPins];
    if (pins < 0) return fail(why, "buffer " + num(x) + " has pin count " + num(pins));
    if (pins == 0 && listed[x] == 0) {
      return fail(why, "buffer " + num(x) + " is unpinned and not on the use list");
    }
    // Between calls only the buffers a matrix keeps on purpose stay pinned;
    // any other pin is one a failed call forgot, and costs the pool a buffer.
    if (pins > 0 && allowed_pin[x] == 0) {
      return fail(why, "buffer " + num(x) + " of " + matrix_name(hdr(x)[bufw::kOwner]) +
                           " is still pinned " + num(pins) + " times");
    }
  }
  return true;
}

// ---- directories -----------------------------------------------------------

NodeTable directory_tree(Area &a, int32_t P) {
  return NodeTable{word_at(a.ctrl, a.view(P)[fsw::kNodePos]), dirw::kLength, dirw::kKey,
                   dw::kKeyWords};
}

enum NodePlace : char { kNodeNowhere, kNodeInTree, kNodeReleased, kNodeFree };

// Where each node of the set's node table is; false when the tree or a list
// is damaged or they share a node.
bool directory_places(Area &a, int32_t P, std::vector<char> &place, std::string *why) {
  WordView fs = a.view(P);
  const int32_t cap = fs[fsw::kNodeCapacity];
  if (cap < 0 || !a.inside(fs[fsw::kNodePos], int64_t{cap} * dirw::kLength)) {
    return fail(why, fileset_name(P) + " node table of " + num(cap) + " nodes at " +
                         num(fs[fsw::kNodePos]) + " lies outside the control area");
  }
  const NodeTable t = directory_tree(a, P);
  const std::string who = fileset_name(P) + " directory";
  std::string reason;
  if (!hm_check_tree(t, cap, fs[fsw::kDirCount], fs[fsw::kDirRoot], &reason)) {
    return fail(why, who + ": " + reason);
  }
  place.assign(static_cast<size_t>(cap) + 1, kNodeNowhere);
  for (int32_t n : tree_nodes(t, fs[fsw::kDirRoot])) place[n] = kNodeInTree;

  auto walk = [&](int32_t first, int32_t expected, char mark, const char *name,
                  int32_t *last) -> bool {
    int32_t count = 0, prev = 0;
    for (int32_t n = first; n != 0; n = *tree_node_word(t, n, dirw::kReleasedLink)) {
      if (n < 1 || n > cap) return fail(why, who + ": " + name + " leaves the table at " + num(n));
      if (place[n] != kNodeNowhere) {
        return fail(why, who + ": node " + num(n) + " is on the " + name + " and " +
                             (place[n] == kNodeInTree ? "in the tree" : "on another list"));
      }
      place[n] = mark;
      prev = n;
      ++count;
    }
    if (count != expected) {
      return fail(why, who + ": " + name + " count " + num(expected) + ", the walk finds " +
                           num(count));
    }
    if (last != nullptr && *last != prev) {
      return fail(why, who + ": " + name + " last is " + num(*last) + ", the walk ends at " +
                           num(prev));
    }
    return true;
  };
  int32_t last = fs[fsw::kReleasedLast];
  if (!walk(fs[fsw::kReleasedFirst], fs[fsw::kReleasedCount], kNodeReleased,
            "released-node list", &last) ||
      !walk(fs[fsw::kNodeFirstFree], fs[fsw::kNodeFree], kNodeFree, "free-node list", nullptr)) {
    return false;
  }
  for (int32_t n = 1; n <= cap; ++n) {
    if (place[n] == kNodeNowhere) {
      return fail(why, who + ": node " + num(n) +
                           " is in neither the tree, the released list nor the free list");
    }
  }
  return true;
}

bool check_directories(Area &a, std::string *why) {
  const std::vector<int32_t> open = a.matrices();
  for (int32_t P : a.filesets()) {
    if (a.dismantled(P)) continue;
    WordView fs = a.view(P);
    std::vector<char> place;
    if (!directory_places(a, P, place, why)) return false;
    const NodeTable t = directory_tree(a, P);
    for (int32_t n = 1; n <= fs[fsw::kNodeCapacity]; ++n) {
      if (place[n] != kNodeInTree) continue;
      const int32_t D = *tree_node_word(t, n, dirw::kHandle);
      if (D == 0) continue;
      if (!a.open_matrix(D)) {
        return fail(why, fileset_name(P) + " directory node " + num(n) + " names " + num(D) +
                             ", which is no open matrix");
      }
      WordView d = a.view(D);
      if (d[dw::kFileset] != P || hm_key_compare(d.at(dw::kQualifier),
                                                 tree_node_word(t, n, dirw::kKey),
                                                 dw::kKeyWords) != 0) {
        return fail(why, fileset_name(P) + " directory node " + num(n) + " names " +
                             matrix_name(D) + ", which has another name or file set");
      }
    }
  }
  for (int32_t D : open) {
    WordView d = a.view(D);
    const int32_t P = d[dw::kFileset];
    if (!a.open_fileset(P)) {
      return fail(why, matrix_name(D) + " belongs to " + num(P) + ", which is no open file set");
    }
    if (a.dismantled(P)) {
      return fail(why, matrix_name(D) + " is open in a file set whose tables are given back");
    }
    const NodeTable t = directory_tree(a, P);
    int32_t found = 0, last = 0, side = 0;
    hm_tree_find(t, a.view(P)[fsw::kDirRoot], d.at(dw::kQualifier), found, last, side);
    if (found == 0) return fail(why, matrix_name(D) + " is not in its file set's directory");
    if (*tree_node_word(t, last, dirw::kHandle) != D) {
      return fail(why, matrix_name(D) + " is open but its directory node holds " +
                           num(*tree_node_word(t, last, dirw::kHandle)));
    }
  }
  return true;
}

// ---- records of a file set -------------------------------------------------

// Read k records of the set at P through the record I/O (with the block
// cache on, records may not be on file yet and the read goes through it).
// The error trace is left as the checked call left it, even when the read
// fails and pushes codes of its own.
int32_t read_records(Area &a, int32_t P, int32_t k, int32_t r0, int32_t *buffer) {
  int32_t *trace = error_trace();
  std::vector<int32_t> saved(trace, trace + kTraceSlots + 1);
  const int32_t st = hm_fileset_read(a.ctrl, P, k, r0, buffer);
  std::copy(saved.begin(), saved.end(), trace);
  return st;
}

// Claim every extent of a list of a table.
bool claim_list(const int32_t *entries, const int32_t *list, const std::string &who,
                Claims &claims, std::string *why) {
  for (int32_t e = list[listw::kFirst]; e != 0; e = *hm_extent_word(entries, e, extw::kNext)) {
    if (!claims.claim(*hm_extent_word(entries, e, extw::kFirst),
                      *hm_extent_word(entries, e, extw::kLength), who, why)) {
      return false;
    }
  }
  return true;
}

// The used and reserved records of a matrix whose extent table is in memory.
bool claim_open_matrix(Area &a, int32_t D, Claims &claims, std::string *why) {
  WordView d = a.view(D);
  const std::string who = matrix_name(D);
  if (d[dw::kTableCapacity] < 0 ||
      !a.inside(d[dw::kTableAddress], int64_t{d[dw::kTableCapacity]} * extw::kWords)) {
    return fail(why, who + " extent table lies outside the control area");
  }
  const int32_t *entries = word_at(a.ctrl, d[dw::kTableAddress]);
  const int32_t *lists[] = {d.at(dw::kUsedList), d.at(dw::kReservedList)};
  std::string reason;
  if (!hm_check_extent_table(entries, d[dw::kTableCapacity], d.at(dw::kTableFree), lists, 2,
                             &reason)) {
    return fail(why, who + " extent table: " + reason);
  }
  if (!claim_list(entries, lists[0], who + " (used)", claims, why) ||
      !claim_list(entries, lists[1], who + " (reserved)", claims, why)) {
    return false;
  }
  if (d[dw::kPlacement] == kInRecords) {
    return claims.claim(d[dw::kTableRecord], d[dw::kTableRecords], who + " saved extent table",
                        why);
  }
  return true;
}

// The records of a matrix known only from its header on file (closed, or
// open read-only).
bool claim_stored_matrix(Area &a, int32_t P, const int32_t *key, int32_t record, int32_t offset,
                         const std::string &who, Claims &claims, std::string *why) {
  WordView fs = a.view(P);
  const int32_t L = fs[fsw::kRecordLength];
  if (offset < 1 || int64_t{offset} + dw::kWords - 1 > L || record < 0 || record >= fs[fsw::kEnd]) {
    return fail(why, who + ": header at record " + num(record) + " offset " + num(offset) +
                         " lies outside the set");
  }
  std::vector<int32_t> buffer(static_cast<size_t>(L));
  if (read_records(a, P, 1, record, buffer.data()) != 0) {
    return fail(why, who + ": header record " + num(record) + " cannot be read");
  }
  WordView h(buffer.data(), offset);
  if (hm_key_compare(h.at(dw::kQualifier), key, dw::kKeyWords) != 0) {
    return fail(why, who + ": the header at record " + num(record) + " offset " + num(offset) +
                         " holds another matrix");
  }
  const int32_t placement = h[dw::kPlacement];
  std::vector<int32_t> saved;
  const int32_t *entries = nullptr;
  int32_t capacity = 0;
  bool reserved_stored = true;
  if (placement == kInSlot) {
    entries = h.at(dw::kInSlotTable);
    capacity = dw::kInSlotEntries;
  } else if (placement == kInWordPool) {
    // Only words 1-41 of the descriptor are stored; the table follows them,
    // so the reserved list is not on file (it is empty after a release).
    entries = h.at(dw::kHeaderPrefixWords + 1);
    capacity = kSmallTableEntries;
    reserved_stored = false;
  } else if (placement == kInRecords) {
    const int32_t count = h[dw::kTableRecords], first = h[dw::kTableRecord];
    if (count < 1 || first < 0 || int64_t{first} + count > fs[fsw::kEnd] ||
        h[dw::kTableCapacity] < 0 ||
        int64_t{h[dw::kTableCapacity]} * extw::kWords > int64_t{count} * L) {
      return fail(why, who + ": saved extent table of " + num(count) + " records at " +
                           num(first) + " with " + num(h[dw::kTableCapacity]) +
                           " entries does not fit the set");
    }
    saved.resize(static_cast<size_t>(count) * L);
    if (read_records(a, P, count, first, saved.data()) != 0) {
      return fail(why, who + ": saved extent table cannot be read");
    }
    if (!claims.claim(first, count, who + " saved extent table", why)) return false;
    entries = saved.data();
    capacity = h[dw::kTableCapacity];
  } else {
    return fail(why, who + ": header has extent-table placement " + num(placement));
  }
  const int32_t empty[4] = {0, 0, 0, 0};
  const int32_t *lists[] = {h.at(dw::kUsedList),
                            reserved_stored ? h.at(dw::kReservedList) : empty};
  std::string reason;
  if (!hm_check_extent_table(entries, capacity, h.at(dw::kTableFree), lists, 2, &reason)) {
    return fail(why, who + " stored extent table: " + reason);
  }
  return claim_list(entries, lists[0], who + " (used)", claims, why) &&
         claim_list(entries, lists[1], who + " (reserved)", claims, why);
}

// ---- block cache -----------------------------------------------------------

// The host's block cache, when on: every node free, or both in the lookup
// tree and on the use list; the tree sound; the lists linked and counted.
bool check_cache(std::string *why) {
  const int32_t *x = cache_words();
  int32_t *memory = cache_memory();
  const int32_t S = x[cachew::kNodes];
  if (memory == nullptr || S < 0 || x[cachew::kCapacity] != S) {
    return fail(why, "cache: " + num(S) + " nodes, capacity " + num(x[cachew::kCapacity]));
  }
  const NodeTable t{memory, cachew::kNodeLength, cachew::kNodeRecord, 1};
  auto next = [&](int32_t n) { return *tree_node_word(t, n, cachew::kNodeNext); };
  std::string reason;
  if (!hm_check_tree(t, S, x[cachew::kTreeCount], x[cachew::kTreeRoot], &reason)) {
    return fail(why, "cache tree: " + reason);
  }
  enum : char { kNone = 0, kFreeNode = 1, kTreeNode = 2, kListed = 4 };
  std::vector<char> mark(static_cast<size_t>(S) + 1, kNone);
  for (int32_t n : tree_nodes(t, x[cachew::kTreeRoot])) mark[n] |= kTreeNode;
  int32_t count = 0;
  for (int32_t n = x[cachew::kFreeFirst]; n != 0; n = next(n)) {
    if (n < 1 || n > S || (mark[n] & kFreeNode) != 0 || count >= S) {
      return fail(why, "cache free list breaks at node " + num(n));
    }
    mark[n] |= kFreeNode;
    ++count;
  }
  if (count != x[cachew::kFreeCount]) {
    return fail(why, "cache free count " + num(x[cachew::kFreeCount]) + ", the list holds " +
                         num(count));
  }
  int32_t prev = 0;
  count = 0;
  for (int32_t n = x[cachew::kUseFirst]; n != 0; n = next(n)) {
    if (n < 1 || n > S || (mark[n] & (kListed | kFreeNode)) != 0) {
      return fail(why, "cache use list breaks at node " + num(n));
    }
    if (*tree_node_word(t, n, cachew::kNodePrev) != prev) {
      return fail(why, "cache use list: node " + num(n) + " has the wrong previous node");
    }
    mark[n] |= kListed;
    prev = n;
    ++count;
  }
  if (count != x[cachew::kUseCount] || prev != x[cachew::kUseLast]) {
    return fail(why, "cache use list count " + num(x[cachew::kUseCount]) + " or last " +
                         num(x[cachew::kUseLast]) + " do not match the list");
  }
  for (int32_t n = 1; n <= S; ++n) {
    if (mark[n] != kFreeNode && mark[n] != (kTreeNode | kListed)) {
      return fail(why, "cache node " + num(n) + " is " +
                           ((mark[n] & kFreeNode) != 0 ? "free and in use" : "half in use"));
    }
  }
  return true;
}

}  // namespace

bool hm_check_control(int32_t *ctrl, std::string *why) {
  Area a(ctrl);
  WordView &c = a.c;
  if (c[cw::kInitMarker] != cw::kInitialised) return fail(why, "control area not initialised");
  if (!check_slot_table(word_at(ctrl, c[cw::kFsLinks]), c[cw::kFsSlots], c[cw::kFsFree],
                        c[cw::kFsHead], "file-set slots", why) ||
      !check_slot_table(word_at(ctrl, c[cw::kDescLinks]), c[cw::kDescSlots], c[cw::kDescFree],
                        c[cw::kDescHead], "descriptor slots", why)) {
    return false;
  }
  if (c[cw::kFresh] != 0) {
    // No pools yet: nothing can be open.
    if (!a.filesets().empty() || !a.matrices().empty()) {
      return fail(why, "a file set or matrix is open in a control area without pools");
    }
    return true;
  }
  std::string reason;
  if (!hm_check_pools(ctrl, &reason)) return fail(why, reason);
  if (cache_words()[cachew::kState] != 0 && !check_cache(why)) return false;
  return check_directories(a, why) && check_pool_owners(a, why) && check_buffers(a, why);
}

bool hm_check_fileset(int32_t *ctrl, int32_t P, std::string *why) {
  Area a(ctrl);
  if (!a.open_fileset(P)) return fail(why, num(P) + " is no open file set");
  // Nothing of a set in mid-removal is left in memory to account for.
  if (a.dismantled(P)) return true;
  WordView fs = a.view(P);
  Claims records(0, int64_t{fs[fsw::kEnd]} - 1, fileset_name(P) + " records");

  if (!records.claim(fs[fsw::kFirstHeaderRecord], fs[fsw::kHeaderRecords], "the set's header",
                     why) ||
      !records.claim(fs[fsw::kTableFirstRecord], fs[fsw::kTableRecords],
                     "the set's saved extent table", why) ||
      !records.claim(fs[fsw::kNodeFirstRecord], fs[fsw::kNodeRecords], "the saved node table",
                     why)) {
    return false;
  }

  if (fs[fsw::kTableCapacity] < 0 ||
      !a.inside(fs[fsw::kTablePos], int64_t{fs[fsw::kTableCapacity]} * extw::kWords)) {
    return fail(why, fileset_name(P) + " extent table lies outside the control area");
  }
  const int32_t *entries = word_at(ctrl, fs[fsw::kTablePos]);
  const int32_t *lists[] = {fs.at(fsw::kListA), fs.at(fsw::kListB)};
  std::string reason;
  if (!hm_check_extent_table(entries, fs[fsw::kTableCapacity], fs.at(fsw::kTableFree), lists, 2,
                             &reason)) {
    return fail(why, fileset_name(P) + " extent table: " + reason);
  }
  if (!claim_list(entries, lists[0], "free (list A)", records, why) ||
      !claim_list(entries, lists[1], "free (list B)", records, why)) {
    return false;
  }

  std::vector<char> place;
  if (!directory_places(a, P, place, why)) return false;
  const NodeTable t = directory_tree(a, P);

  // Header records: several headers share one, so each is claimed once.
  std::vector<int32_t> headers;
  if (fs[fsw::kHeaderRecord] != 0) headers.push_back(fs[fsw::kHeaderRecord]);
  for (int32_t n = 1; n <= fs[fsw::kNodeCapacity]; ++n) {
    if (place[n] == kNodeInTree || place[n] == kNodeReleased) {
      headers.push_back(*tree_node_word(t, n, dirw::kHeaderRecord));
    }
  }
  std::sort(headers.begin(), headers.end());
  headers.erase(std::unique(headers.begin(), headers.end()), headers.end());
  for (int32_t r : headers) {
    if (!records.claim(r, 1, "a matrix header record", why)) return false;
  }

  for (int32_t n = 1; n <= fs[fsw::kNodeCapacity]; ++n) {
    if (place[n] != kNodeInTree) continue;
    const int32_t D = *tree_node_word(t, n, dirw::kHandle);
    if (D != 0 && !a.open_matrix(D)) {
      return fail(why, fileset_name(P) + " directory node " + num(n) + " names " + num(D) +
                           ", which is no open matrix");
    }
    if (D != 0 && a.view(D)[dw::kTableAddress] != 0) {
      if (!claim_open_matrix(a, D, records, why)) return false;
      continue;
    }
    const std::string who =
        D == 0 ? "closed matrix of node " + num(n)
               : matrix_name(D) + (a.view(D)[dw::kReadOnlyFlag] == 1 ? " (read-only)"
                                                                     : " (table not in memory)");
    if (!claim_stored_matrix(a, P, tree_node_word(t, n, dirw::kKey),
                             *tree_node_word(t, n, dirw::kHeaderRecord),
                             *tree_node_word(t, n, dirw::kHeaderOffset), who, records, why)) {
      return false;
    }
  }
  return records.complete(why);
}

}  // namespace tessera
