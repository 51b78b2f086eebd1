// A stand-in for the library core in the fault-injection tests: a member of a
// static archive, compiled like the core (position-independent, hidden
// visibility), that calls the record-file service. The tests call it to show
// that such calls reach the program's counting layer, as the core's will.
#include <cstdint>

#include "recstore.h"

namespace tessera::test {

int probe_write_from_archive(int32_t handle, int32_t record, int32_t reclen,
                             const int32_t *buffer) {
  return DAF_file_nrecord_write(handle, record, reclen, 1, buffer);
}

}  // namespace tessera::test
