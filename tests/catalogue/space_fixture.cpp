// The hand-laid control area and file set of the catalogue tests.
#include "space_fixture.h"

#include <unistd.h>

#include <stdexcept>

namespace tessera::test {
namespace {

int32_t round_position(int32_t p) { return (p - 1 + 127) / 128 * 128 + 1; }

std::vector<std::pair<int32_t, int32_t>> walk(const int32_t *entries, const int32_t *list) {
  std::vector<std::pair<int32_t, int32_t>> out;
  for (int32_t e = list[listw::kFirst]; e != 0 && out.size() < 100000;
       e = entries[(e - 1) * 4 + extw::kNext - 1]) {
    out.emplace_back(entries[(e - 1) * 4 + extw::kFirst - 1],
                     entries[(e - 1) * 4 + extw::kLength - 1]);
  }
  return out;
}

// Lay out a pool's extent table of `entries` entries at `position` with an
// empty free list; returns the position after the table.
int32_t lay_pool(int32_t *ctrl, int32_t table_word, int32_t position, int32_t entries) {
  WordView c = control_view(ctrl);
  c[table_word] = position;
  c[table_word + 1] = entries;
  const ExtentTable t{word_at(ctrl, position), c.at(table_word + 2)};
  hm_extent_table_init(t, entries);
  int32_t *list = c.at(table_word + 5);
  hm_clear4(list);
  return round_position(position + 4 * entries);
}

}  // namespace

SpaceFixture::SpaceFixture(const SpaceSetup &s) : setup_(s), area_(s.area_words, 0) {
  int32_t *ctrl = area_.data();
  int32_t length = s.area_words, nfs = 2, ndesc = s.descriptors, option = 0, ierr = 0;
  hminmf(ctrl, &length, &nfs, &ndesc, &option, &ierr);
  if (ierr != 0) throw std::runtime_error("hminmf");
  WordView c = control();
  const int32_t unit = (s.record_length + 127) / 128 * 128;
  c[cw::kUnitSize] = unit;
  c[cw::kBufferSize] = unit;
  c[cw::kFirstRecordLength] = s.record_length;

  // Unit pool: 64 entries, 64 units.
  int32_t p = c[cw::kNextFree];
  const int32_t units = 64;
  int32_t base = lay_pool(ctrl, cw::kUnitTable, p, 64);
  c[cw::kUnitCount] = units;
  c[cw::kUnitBase] = base;
  {
    const ExtentTable t{word_at(ctrl, c[cw::kUnitTable]), c.at(cw::kUnitTableFree)};
    int32_t pred = 0;
    hm_extent_add(t, c.at(cw::kUnitList), units, 1, pred);
  }
  p = round_position(base + units * unit);
  // Word pool: 16 entries, 86 words per descriptor.
  const int32_t words = 86 * s.descriptors;
  base = lay_pool(ctrl, cw::kWordTable, p, 16);
  c[cw::kWordSize] = words;
  c[cw::kWordBase] = base;
  {
    const ExtentTable t{word_at(ctrl, c[cw::kWordTable]), c.at(cw::kWordTableFree)};
    int32_t pred = 0;
    hm_extent_add(t, c.at(cw::kWordList), words, base, pred);
  }
  c[cw::kNextFree] = round_position(base + words);
  c[cw::kFresh] = 0;
  if (c[cw::kNextFree] >= c[cw::kLastPoolWord]) throw std::runtime_error("area too small");

  // The file set in slot 1.
  const int32_t slot = hm_list_take(word_at(ctrl, c[cw::kFsLinks]), 1, c[cw::kFsFree],
                                    c[cw::kFsHead]);
  word_at(ctrl, c[cw::kFsLinks])[slot - 1] = cw::kSlotInUse;
  P = c[cw::kFsArea1] + cw::kFilesetAreaWords * (slot - 1);
  WordView f = fs();
  dir_ = temp_dir();
  const int32_t L = s.record_length;
  int32_t per_file = s.records / s.files;
  for (int32_t i = 1; i <= s.files; ++i) {
    paths.push_back(dir_ + "/f" + std::to_string(i));
    int32_t mode = 2, flag = -1, n = per_file, reclen = L;
    if (DAF_file_create(f.at(fsw::handle_word(i)), paths.back().c_str(), &mode, &flag, &n,
                        &reclen) != 0) {
      throw std::runtime_error("create " + paths.back());
    }
  }
  f[fsw::kRecordLength] = L;
  f[fsw::kHeaderRecords] = 1;
  f[fsw::kFirstHeaderRecord] = 0;
  f[fsw::kCreatedRecords] = s.records;
  f[fsw::kIndexRegion] = s.index_region;
  f[fsw::kDataRegion] = s.records - s.index_region;
  f[fsw::kIndexGrowth] = s.index_growth;
  f[fsw::kDataGrowth] = s.data_growth;
  f[fsw::kEnd] = s.records;
  const int32_t T = s.table_records;
  f[fsw::kTableRecords] = T;
  f[fsw::kTableFirstRecord] = 1;
  f[fsw::kTableCapacity] = T * L / 4;
  f[fsw::kNodeRecords] = 1;
  f[fsw::kNodeFirstRecord] = T + 1;
  f[fsw::kNodeCapacity] = L / 12;
  f[fsw::kHeaderRecord] = 0;
  f[fsw::kHeaderOffset] = 1;
  f[fsw::kCacheFlag] = 0;
  f[fsw::kFileCount] = s.files;

  int32_t table = 0, nodes = 0;
  if (hm_work_alloc(ctrl, T * L, table) != 0 || hm_work_alloc(ctrl, L, nodes) != 0) {
    throw std::runtime_error("work space");
  }
  f[fsw::kTablePos] = table;
  f[fsw::kNodePos] = nodes;
  const ExtentTable t{word_at(ctrl, table), f.at(fsw::kTableFree)};
  hm_extent_table_init(t, f[fsw::kTableCapacity]);
  hm_clear4(f.at(fsw::kListA));
  hm_clear4(f.at(fsw::kListB));
  int32_t pred = 0;
  hm_extent_add(t, f.at(fsw::kListA), s.index_region - first_index_record(),
                first_index_record(), pred);
  pred = 0;
  hm_extent_add(t, f.at(fsw::kListB), s.records - s.index_region, s.index_region, pred);
  hm_list_init(word_at(ctrl, nodes), dirw::kLength, f[fsw::kNodeCapacity], f[fsw::kNodeFree],
               f[fsw::kNodeFirstFree]);
  for (int32_t w = fsw::kDirCount; w <= fsw::kReleasedLast; ++w) f[w] = 0;
}

SpaceFixture::~SpaceFixture() {
  WordView f = fs();
  for (int32_t i = 1; i <= setup_.files; ++i) {
    int32_t one = 1, keep = 2;
    DAF_file_close(f.at(fsw::handle_word(i)), paths[i - 1].c_str(), &one, &keep);
  }
  ::rmdir(dir_.c_str());
}

int32_t SpaceFixture::new_matrix(int32_t first_reserve, int32_t later_reserve) {
  int32_t D = 0;
  if (hm_desc_alloc(ctrl(), D) != 0) throw std::runtime_error("descriptor");
  WordView d(ctrl(), D);
  for (int32_t w = 1; w <= dw::kWords; ++w) d[w] = 0;
  d[dw::kFileset] = P;
  d[dw::kFirstReserve] = first_reserve;
  d[dw::kLaterReserve] = later_reserve;
  d[dw::kPlacement] = 1;
  d[dw::kTableAddress] = D + dw::kInSlotTable - 1;
  d[dw::kTableCapacity] = dw::kInSlotEntries;
  d[dw::kHeaderRecord] = first_index_record();
  d[dw::kHeaderOffset] = 129;
  d[dw::kTableRecords] = 1;
  d[dw::kTableRecord] = first_index_record();
  hm_extent_table_init(ExtentTable{d.at(dw::kInSlotTable), d.at(dw::kTableFree)},
                       dw::kInSlotEntries);
  return D;
}

std::vector<std::pair<int32_t, int32_t>> SpaceFixture::set_list(int32_t which) {
  return walk(word_at(ctrl(), fs()[fsw::kTablePos]), fs().at(which));
}

std::vector<std::pair<int32_t, int32_t>> SpaceFixture::matrix_list(int32_t D, int32_t which) {
  WordView d(ctrl(), D);
  return walk(word_at(ctrl(), d[dw::kTableAddress]), d.at(which));
}

void SpaceFixture::set_list_b(const std::vector<std::pair<int32_t, int32_t>> &extents) {
  WordView f = fs();
  const ExtentTable t{word_at(ctrl(), f[fsw::kTablePos]), f.at(fsw::kTableFree)};
  int32_t length = 0, first = 0;
  while (f[fsw::kListB + listw::kCount] > 0) hm_extent_pop(t, f.at(fsw::kListB), length, first);
  int32_t pred = 0;
  for (const auto &[start, len] : extents) {
    if (hm_extent_add(t, f.at(fsw::kListB), len, start, pred) != 0) {
      throw std::runtime_error("set_list_b");
    }
  }
}

int32_t SpaceFixture::file_records(int32_t i) const {
  struct stat st {};
  if (::stat(paths[i - 1].c_str(), &st) != 0) return -1;
  return static_cast<int32_t>((st.st_size - 16) / (4 * setup_.record_length));
}

}  // namespace tessera::test
