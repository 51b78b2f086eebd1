// File sets inside a control area: creating and opening them (laying out the
// control area's pools with the first one), and closing, killing and
// removing them. The exported routines hmnewf, hmoldf, hmremf, hmkilf and
// hmclos (and the _filename variants) are thin wrappers around these.
//
// Every routine returns its status (0 success); the failing site pushes its
// trace code and each caller on the way out pushes its own.
#pragma once

#include <cstdint>

#include "control/control_words.h"

namespace tessera {

// A handle that the record service never gives out: marks a file of a set
// whose handle has been closed, so that a retried close skips it.
inline constexpr int32_t kClosedHandle = INT32_MIN;

// Workers of hmnewf and hmoldf. P receives the file-set handle (0 on failure).
int32_t hm_new_fileset(int32_t *ctrl, int32_t n, const char *const *names, int32_t m, int32_t s,
                       int32_t &P);
int32_t hm_old_fileset(int32_t *ctrl, int32_t n, const char *const *names, int32_t &P);

// Create n files of N / n records of L words into handles[0..n-1], deleting
// files of those names first. Refuses (161, nothing deleted) a name that is a
// file of a set open in this control area.
int32_t hm_create_files(int32_t *ctrl, int32_t n, const char *const *names, int32_t N, int32_t L,
                        int32_t *handles);
// Open n existing files. L receives the record length the last file
// reports; lengths[i] and records[i] each file's record length and count.
int32_t hm_open_files(int32_t n, const char *const *names, int32_t *handles, int32_t &L,
                      int32_t *lengths, int32_t *records);
// Xcache word 0 = 2, word 1 = 0: the cache is off after every open.
void hm_cache_setup();

int32_t hm_take_fileset_slot(int32_t *ctrl, int32_t &P);
void hm_give_fileset_slot(int32_t *ctrl, int32_t &P);

// Read the h = (L + 99) / L header records of the set whose files are
// `handles` into file-set words 1-100 of P.
int32_t hm_read_header(int32_t *ctrl, int32_t P, int32_t n, const int32_t *handles, int32_t L);

// Tables, work buffer and pair stacks of a new set (lists A and B one extent
// each) or of an opened set (tables read from its records).
int32_t hm_init_fileset_lists(int32_t *ctrl, int32_t P);
int32_t hm_load_fileset_lists(int32_t *ctrl, int32_t P);
// Give back what the two routines above took; positions already 0 are
// skipped, so it can run after a partial set-up.
void hm_release_fileset_lists(int32_t *ctrl, int32_t P);

// Lay out the unit, pair and word pools, the spare node list and the buffer
// pool from control-area word 129 on, sized for record length L.
int32_t hm_pool_setup(int32_t *ctrl, int32_t L, int32_t a1, int32_t a2, int32_t a3, int32_t a4,
                      int32_t a5);

// Close n files with disposition 1 (keep) or 2 (delete). A file that no
// longer exists is closed with disposition 1 (its handle is released, no
// deletion is tried). Closed handles become kClosedHandle and are skipped
// when met again. With keep_going every file is tried and the first failure
// is reported; otherwise the first failure stops (162, 31502).
int32_t hm_close_files(int32_t n, const char *const *names, int32_t disposition,
                       int32_t *handles, bool keep_going = false);

// True when some open matrix belongs to the file set at P.
bool hm_fileset_has_open_matrix(int32_t *ctrl, int32_t P);
// True when P is the handle of a taken file-set slot of this control area.
bool hm_is_open_fileset(int32_t *ctrl, int32_t P);

// Workers of hmremf, hmkilf and hmclos; names may be null (use the names
// kept in the file-set area).
int32_t hm_remove_fileset(int32_t *ctrl, int32_t P, const char *const *names);
int32_t hm_kill_fileset(int32_t *ctrl, int32_t P, const char *const *names);
int32_t hm_close_control(int32_t *ctrl, int32_t mode, const char *const *names);

}  // namespace tessera
