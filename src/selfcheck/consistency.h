// The library's self-check of a control area and of its open file sets. It
// reads the structures of every subsystem, so it sits above them all, in a
// folder of its own. Not part of the interface: the tests run it after every
// step of a scripted session, and after every injected failure, to prove that
// what a failed call leaves behind is still sound (nothing leaked, nothing
// shared, every list intact).
//
// Both checks read the control area only; each returns true when everything
// holds and otherwise false with one line in *why (when given) naming the
// first fault found. They follow every link with bounds and visited marks, so
// a damaged area yields a reason, never a crash or an endless walk.
#pragma once

#include <cstdint>
#include <string>

namespace tessera {

// One control area as a whole:
//  - the file-set and descriptor slot tables: free list within bounds, no
//    slot twice, count right, and exactly the slots off the free list marked
//    in use (-1);
//  - the unit, word and pair pools sound (hm_check_pools), and every unit or
//    word of them either free or held by exactly one owner that is known
//    between calls: a file set's extent table, node table, work buffer and
//    pair stacks, an open matrix's extent-table area and index root area;
//  - every buffer of the pool in exactly one place: on the free list (owner
//    0), or owned by an open matrix and in that matrix's lookup tree of its
//    class (or, as the matrix's current packed-edge buffer, in no tree);
//    unpinned owned buffers on the use list exactly once, pinned ones and
//    free ones on no list; counts right;
//  - every lookup tree and every open file set's directory balanced and
//    ordered; the directory's tree, released-node list and free-node list
//    disjoint and together the whole node table; every open matrix in its
//    set's directory with its handle in the node, and no node naming a
//    matrix that is not open;
//  - when the host has the block cache on: each cache node free, or both in
//    the cache's lookup tree and on its use list; tree and lists sound.
bool hm_check_control(int32_t *ctrl, std::string *why);

// One open file set at P: every record from 0 to its end (file-set word 50)
// accounted for exactly once — free (lists A, B), the set's header, extent
// table and node table records, matrix header records, and the reserved and
// used records and saved extent-table records of every matrix of the set.
// Matrices that are closed (or open read-only, whose extent table is not in
// memory) are known from their headers and saved tables, which are read from
// the file set through the record I/O into a buffer of the checker's own (so
// the control area's pools are not touched). A failed read is reported.
bool hm_check_fileset(int32_t *ctrl, int32_t P, std::string *why);

}  // namespace tessera
