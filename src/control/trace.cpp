// The exported areas and the error trace. The host sets the three pointers
// before its first call; every exported routine first checks that the ones
// it reaches are set (hm_area_missing), so no other code tests them.
#include "control/trace.h"

#include <cstring>

#include "common/status.h"
#include "control/control_codes.h"
#include "tessera.h"
#include "transfer/transfer_words.h"

extern "C" {
TESSERA_API char *Xerror = nullptr;
TESSERA_API char *Xcache = nullptr;
TESSERA_API char *Xchosky = nullptr;
}

namespace tessera {

int32_t *error_trace() { return reinterpret_cast<int32_t *>(Xerror); }
int32_t *cache_words() { return reinterpret_cast<int32_t *>(Xcache); }
int32_t *chosky_words() { return reinterpret_cast<int32_t *>(Xchosky); }

void hm_push_trace(int32_t code) {
  int32_t *trace = error_trace();
  int32_t slot = trace[0] + 1;
  if (slot > kTraceSlots || slot < 1) slot = 1;
  trace[0] = slot;
  trace[slot] = code;
}

void hm_clear_trace() { error_trace()[0] = 0; }

bool hm_refuse_unlinked(unsigned needed, bool clears, int32_t *ierr) {
  const bool missing = ((needed & kAreaTrace) != 0 && Xerror == nullptr) ||
                       ((needed & kAreaCache) != 0 && Xcache == nullptr) ||
                       ((needed & kAreaChosky) != 0 && Xchosky == nullptr);
  if (missing && Xerror != nullptr) {
    if (clears) hm_clear_trace();
    hm_push_trace(trace::kAreaNotLinked);
  }
  if (missing) *ierr = status::kNotInitialised;
  return missing;
}

int32_t *cache_memory() {
  int32_t *address = nullptr;
  std::memcpy(&address, cache_words() + cachew::kAddress, sizeof address);
  return address;
}

}  // namespace tessera
