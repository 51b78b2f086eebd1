// The exported areas and the error trace. The library never tests the three
// pointers for null: the host sets them before its first call.
#include "control/trace.h"

#include <cstring>

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

int32_t *cache_memory() {
  int32_t *address = nullptr;
  std::memcpy(&address, cache_words() + cachew::kAddress, sizeof address);
  return address;
}

}  // namespace tessera
