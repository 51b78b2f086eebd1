// Consistency check of one open file set's records: every record below the
// set's end (file-set word 50) is either free (list A or B) or used, and by
// exactly one owner. The set knows its own users (header records, its extent
// table and node table records, the header records of its matrices); the
// records of matrices (blocks, index nodes, saved extent tables, reserved
// runs) are passed in by the caller, who knows them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessera {

struct RecordRun {
  int32_t first;
  int32_t length;
  const char *owner;  // named in the reason when the run collides
};

// True when sound; otherwise false with a one-line reason in *why (when
// given). Only reads.
bool hm_check_fileset_records(int32_t *ctrl, int32_t P, std::string *why,
                              const std::vector<RecordRun> &extra = {});

}  // namespace tessera
