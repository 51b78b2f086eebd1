// Record space of file sets and matrices: index records from list A, data
// records from list B, each matrix's reserved and used records, extension of
// the file set at its end, and the growth of extent tables. Every routine
// returns its status and pushes its trace codes on failure.
#pragma once

#include <cstdint>

namespace tessera {

// k: file-set handle; D: matrix handle.
int32_t hm_header_slot_record(int32_t *ctrl, int32_t k, int32_t &record);
int32_t hm_index_records_alloc(int32_t *ctrl, int32_t k, int32_t n, int32_t &first);
int32_t hm_reserve_records(int32_t *ctrl, int32_t D, int32_t n);
int32_t hm_block_record_alloc(int32_t *ctrl, int32_t D, int32_t &record);
int32_t hm_extend_for_index(int32_t *ctrl, int32_t k, int32_t size, int32_t need, int32_t &first);
int32_t hm_extend_for_data(int32_t *ctrl, int32_t D, int32_t size);
int32_t hm_data_record_free(int32_t *ctrl, int32_t D, int32_t &record, int32_t &hint);
int32_t hm_data_extent_free(int32_t *ctrl, int32_t D, int32_t length, int32_t &first,
                            int32_t &hint);
int32_t hm_index_extent_free(int32_t *ctrl, int32_t k, int32_t length, int32_t &first,
                             int32_t &hint);
int32_t hm_unreserve(int32_t *ctrl, int32_t D);
int32_t hm_free_matrix_records(int32_t *ctrl, int32_t D);
int32_t hm_grow_fileset_table(int32_t *ctrl, int32_t k);
int32_t hm_grow_matrix_table(int32_t *ctrl, int32_t D);

}  // namespace tessera
