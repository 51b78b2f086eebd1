// tessera info: a stored set's header and every matrix of its directory, as
// a table or (--json) as one JSON object. Reads through the self-check's
// view: nothing is written to the files.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "command.h"
#include "set_view.h"

namespace tessera::tool {
namespace {

struct Options {
  std::vector<std::string> files;
  bool json = false;
};

std::string band_text(const tessera_matrix_info &m) {
  if (m.form == 5) return "-";
  if (m.lower_band == m.rows - 1 && m.upper_band == m.columns - 1) return "full";
  return std::to_string(m.lower_band) + "/" + std::to_string(m.upper_band);
}

double fill(const tessera_matrix_info &m) {
  return m.possible_blocks > 0 ? 100.0 * m.stored_blocks / static_cast<double>(m.possible_blocks)
                               : 0.0;
}

void print_table(const std::vector<std::vector<std::string>> &rows,
                 const std::vector<bool> &right) {
  std::vector<size_t> width(rows[0].size(), 0);
  for (const auto &row : rows)
    for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  for (const auto &row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      const std::string pad(width[c] - row[c].size(), ' ');
      line += right[c] ? pad + row[c] : row[c] + (c + 1 < row.size() ? pad : "");
      if (c + 1 < row.size()) line += "  ";
    }
    std::printf("%s\n", line.c_str());
  }
}

void print_text(const SetView &view, int64_t findings) {
  const tessera_set_info s = view.set();
  const double record_bytes = 4.0 * s.record_length;
  std::printf("file set: %d %s, records of %d words (%s)\n", s.files,
              s.files == 1 ? "file" : "files", s.record_length, byte_size(record_bytes).c_str());
  for (int32_t i = 0; i < s.files; ++i) {
    const std::string &f = view.files()[static_cast<size_t>(i)];
    std::printf("  file %-2d             %s", i + 1, f.c_str());
    if (i == 0 && f != s.created_as) std::printf("  (created as %s)", s.created_as);
    std::printf("\n");
  }
  std::printf("  end                 %d records, %d a file (%s)\n", s.end,
              s.files > 0 ? s.end / s.files : 0, byte_size(record_bytes * s.end).c_str());
  std::printf("  created with        %d records: index region %d, data region %d\n",
              s.created_records, s.index_region, s.data_region);
  std::printf("  growth steps        %d index records, %d data records\n", s.index_growth,
              s.data_growth);
  std::printf("  free records        list A %d in %d %s, list B %d in %d %s\n", s.free_a_records,
              s.free_a_extents, s.free_a_extents == 1 ? "extent" : "extents", s.free_b_records,
              s.free_b_extents, s.free_b_extents == 1 ? "extent" : "extents");
  std::printf("  extent table        %d %s from record %d: %d entries, %d free\n",
              s.table_records, s.table_records == 1 ? "record" : "records", s.table_first,
              s.table_capacity, s.table_free);
  std::printf("  node table          %d %s from record %d: %d nodes, %d free\n", s.node_records,
              s.node_records == 1 ? "record" : "records", s.node_first, s.node_capacity,
              s.node_free);
  std::printf("  matrices            %d, %d released header %s\n", s.matrices, s.released_nodes,
              s.released_nodes == 1 ? "slot" : "slots");

  if (!view.matrices().empty()) {
    std::vector<std::vector<std::string>> rows = {{"name", "qualifier", "type", "form", "band",
                                                   "rows", "columns", "nb", "b1", "blocks",
                                                   "records", "bytes", "fill"}};
    for (const tessera_matrix_info &m : view.matrices()) {
      if (m.type == 0) {
        rows.push_back({display_name(m), std::to_string(m.qualifier), "damaged", "", "", "", "",
                        "", "", "", "", "", ""});
        continue;
      }
      char percent[16];
      std::snprintf(percent, sizeof percent, "%.1f%%", fill(m));
      rows.push_back({display_name(m), std::to_string(m.qualifier), type_name(m.type, m.items),
                      form_name(m.form) + (m.damaged ? " (damaged)" : ""), band_text(m),
                      std::to_string(m.rows), std::to_string(m.columns),
                      std::to_string(m.block_order), std::to_string(m.hyper_order),
                      std::to_string(m.stored_blocks) + "/" + std::to_string(m.possible_blocks),
                      std::to_string(m.records), byte_size(record_bytes * m.records), percent});
    }
    std::printf("\n");
    print_table(rows, {false, true, false, false, false, true, true, true, true, true, true,
                       true, true});
  }
  if (findings > 0) {
    std::fprintf(stderr,
                 "tessera info: the set is damaged (%lld %s); tessera check lists them\n",
                 static_cast<long long>(findings), findings == 1 ? "finding" : "findings");
  }
}

void print_json(const SetView &view, int64_t findings) {
  const tessera_set_info s = view.set();
  nlohmann::ordered_json out;
  out["files"] = view.files();
  out["created_as"] = s.created_as;
  out["record_length"] = s.record_length;
  out["header_records"] = s.header_records;
  out["created_records"] = s.created_records;
  out["index_region"] = s.index_region;
  out["data_region"] = s.data_region;
  out["index_growth"] = s.index_growth;
  out["data_growth"] = s.data_growth;
  out["end"] = s.end;
  out["free_index_records"] = {{"records", s.free_a_records}, {"extents", s.free_a_extents}};
  out["free_data_records"] = {{"records", s.free_b_records}, {"extents", s.free_b_extents}};
  out["extent_table"] = {{"records", s.table_records}, {"first_record", s.table_first},
                         {"entries", s.table_capacity}, {"free", s.table_free}};
  out["node_table"] = {{"records", s.node_records}, {"first_record", s.node_first},
                       {"nodes", s.node_capacity}, {"free", s.node_free}};
  out["released_header_slots"] = s.released_nodes;
  out["findings"] = findings;
  out["matrices"] = nlohmann::ordered_json::array();
  for (const tessera_matrix_info &m : view.matrices()) {
    nlohmann::ordered_json j;
    j["name"] = display_name(m);
    j["qualifier"] = m.qualifier;
    j["damaged"] = m.damaged != 0;
    j["header"] = {{"record", m.header_record}, {"offset", m.header_offset}};
    if (m.type != 0) {
      j["type"] = type_name(m.type, m.items);
      j["type_code"] = m.type;
      j["items"] = m.items;
      j["form"] = form_name(m.form);
      j["form_code"] = m.form;
      j["lower_band"] = m.lower_band;
      j["upper_band"] = m.upper_band;
      j["rows"] = m.rows;
      j["columns"] = m.columns;
      j["block_order"] = m.block_order;
      j["hyperblock_order"] = m.hyper_order;
      j["block_rows"] = m.block_rows;
      j["block_columns"] = m.block_columns;
      j["stored_blocks"] = m.stored_blocks;
      j["possible_blocks"] = m.possible_blocks;
      j["records"] = m.records;
      j["bytes"] = int64_t{m.records} * 4 * s.record_length;
      j["fill"] = fill(m) / 100.0;
      j["index_nodes"] = m.index_nodes;
      j["index_height"] = m.index_height;
    }
    out["matrices"].push_back(j);
  }
  std::cout << out.dump(2) << "\n";
}

int run_info(const Options &o) {
  try {
    SetView view(o.files);
    const int64_t findings = tessera_view_check(view.get(), nullptr, nullptr);
    if (o.json) {
      print_json(view, findings);
    } else {
      print_text(view, findings);
    }
    return 0;
  } catch (const UserError &e) {
    std::fprintf(stderr, "tessera info: %s\n", e.what());
    return e.status();
  }
}

Registrar reg("info", "Show a file set's header and its matrices", 20, [](CLI::App &cmd) {
  auto o = std::make_shared<Options>();
  cmd.add_option("FILE", o->files,
                 "The set's files, in the order it was created with (record r lies in file "
                 "(r mod n) + 1)")
      ->required();
  cmd.add_flag("--json", o->json, "Print one JSON object instead of the tables");
  cmd.footer(
      "Prints the set's header (record length, files, regions, end, free records in lists A "
      "and B, tables) and every matrix: name, qualifier, element type, storage form, band, "
      "shape, block order nb, hyperblock order b1, stored and possible blocks, records, bytes "
      "and fill. Nothing is written to the files.\n\n"
      "Example:\n  tessera info model1.hm model2.hm\n  tessera info --json model1.hm model2.hm");
  return [o] { return run_info(*o); };
});

}  // namespace
}  // namespace tessera::tool
