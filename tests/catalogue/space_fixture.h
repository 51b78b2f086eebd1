// A control area with one file set laid out by hand, for the directory and
// record-space tests: hminmf's fixed words, a unit pool and a word pool, and
// a file-set area over real record files whose lists A and B, extent table
// and node table are set up the way a new set has them. A matrix descriptor
// can be added with an in-slot extent table.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "catalogue/directory.h"
#include "catalogue/extent_list.h"
#include "catalogue/pools.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/lists.h"
#include "recstore.h"
#include "test_support/host.h"

namespace tessera::test {

struct SpaceSetup {
  int32_t files = 1;
  int32_t record_length = 2048;
  int32_t records = 60;        // N, all files together (a multiple of files)
  int32_t index_region = 20;   // M
  int32_t index_growth = 6;    // file-set word 48
  int32_t data_growth = 12;    // file-set word 49
  int32_t table_records = 1;   // records of the set's extent table (from record 1)
  int32_t descriptors = 4;
  int32_t area_words = 600000;
};

class SpaceFixture {
 public:
  explicit SpaceFixture(const SpaceSetup &s = SpaceSetup());
  ~SpaceFixture();

  int32_t *ctrl() { return area_.data(); }
  WordView control() { return control_view(area_.data()); }
  WordView fs() { return WordView(area_.data(), P); }
  int32_t L() const { return setup_.record_length; }
  // First record of list A as laid out: after the header, the extent table
  // and the node table. The fixture's matrices name it as their header
  // record.
  int32_t first_index_record() const { return setup_.table_records + 2; }

  // A descriptor of the file set with an in-slot extent table and the given
  // reservations.
  int32_t new_matrix(int32_t first_reserve = 4, int32_t later_reserve = 4);

  // Extents (first, length) of list A (fsw::kListA) or B, or of a matrix's
  // list (descriptor word dw::kUsedList / dw::kReservedList).
  std::vector<std::pair<int32_t, int32_t>> set_list(int32_t which);
  std::vector<std::pair<int32_t, int32_t>> matrix_list(int32_t D, int32_t which);
  // Replace list B by the given extents (ascending, not adjacent).
  void set_list_b(const std::vector<std::pair<int32_t, int32_t>> &extents);

  // Records in physical file i (1-based), from its size on disk.
  int32_t file_records(int32_t i) const;
  // Total free units of the unit pool.
  int32_t free_units() { return control()[cw::kUnitList + listw::kTotal]; }

  HostAreas host;
  int32_t P = 0;
  std::vector<std::string> paths;

 private:
  SpaceSetup setup_;
  std::vector<int32_t> area_;
  std::string dir_;
};

}  // namespace tessera::test
