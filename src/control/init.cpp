// hminmf: lays out a control area. It writes the fixed words, the file-set and
// descriptor slot tables and the initialised marker; the pools are laid out
// later, by the first file set (the area stays "fresh" until then).
#include <cstdint>
#include <cstdlib>

#include "common/status.h"
#include "common/word_view.h"
#include "control/control_codes.h"
#include "control/control_words.h"
#include "control/lists.h"
#include "control/trace.h"
#include "dense/chosky_words.h"
#include "tessera.h"

namespace tessera {
namespace {

// Round a position up so that position - 1 is a multiple of the granule.
int64_t round_position(int64_t last_word, int64_t granule) {
  return (last_word + granule - 1) / granule * granule + 1;
}

}  // namespace

int32_t hm_init_control(int32_t *area, int32_t length, int32_t nfs, int32_t ndesc,
                        int32_t option) {
  WordView ctrl = control_view(area);
  ctrl[cw::kGranule] = cw::kDefaultGranule;
  if (nfs < 1 || ndesc < 1) {
    hm_push_trace(trace::kInitNoSlots);
    return hm_fail(status::kAreaTooSmall, trace::kHminmf);
  }
  // Computed in 64 bits: huge counts are refused, never wrapped.
  const int64_t minimum = 641LL * nfs + 129LL * ndesc + 12928;
  if (length < minimum) {
    hm_push_trace(trace::kInitTooSmall);
    return hm_fail(status::kAreaTooSmall, trace::kHminmf);
  }

  ctrl[cw::kFresh] = 1;
  ctrl[cw::kLastPoolWord] = length - cw::kFixedWords;
  ctrl[cw::kUnitSize] = 0;
  ctrl[cw::kFsLinks] = cw::kFsLinksPosition;
  ctrl[cw::kFsSlots] = nfs;
  hm_list_init(ctrl.at(cw::kFsLinksPosition), 1, nfs, ctrl[cw::kFsFree], ctrl[cw::kFsHead]);
  ctrl[cw::kFsArea1] = cw::kFsLinksPosition + nfs;

  const int64_t fs_end = static_cast<int64_t>(cw::kFilesetAreaWords + 1) * nfs + cw::kFixedWords;
  const int32_t desc_links = static_cast<int32_t>(round_position(fs_end, cw::kDefaultGranule));
  ctrl[cw::kDescLinks] = desc_links;
  ctrl[cw::kDescSlots] = ndesc;
  hm_list_init(ctrl.at(desc_links), 1, ndesc, ctrl[cw::kDescFree], ctrl[cw::kDescHead]);
  ctrl[cw::kDescArea1] = desc_links + ndesc;
  ctrl[cw::kWord178] = 0;
  const int64_t desc_end =
      static_cast<int64_t>(ctrl[cw::kDescArea1]) + int64_t{cw::kDescriptorWords} * ndesc - 1;
  ctrl[cw::kNextFree] = static_cast<int32_t>(round_position(desc_end, cw::kDefaultGranule));
  ctrl[cw::kUnitReserve] = 0;
  ctrl[cw::kInitMarker] = cw::kInitialised;
  for (int32_t w = 202; w <= cw::kFixedWords; ++w) ctrl[w] = 0;

  ctrl[cw::kRecordLength] = cw::kDefaultRecordLength;
  ctrl[cw::kOptionFlag] = option != 0 ? cw::kOptionFlagValue : 0;
  // |option| without overflow for the most negative value.
  ctrl[cw::kOptionMagnitude] =
      static_cast<int32_t>(option < 0 ? 0u - static_cast<uint32_t>(option)
                                      : static_cast<uint32_t>(option));
  ctrl[cw::kBlasSwitch] = 0;
  ctrl[cw::kSizing] = cw::kDefaultSizing;

  chosky_words()[chw::kRecording] = 0;  // pivot recording off
  return status::kOk;
}

}  // namespace tessera

extern "C" TESSERA_API void hminmf(int32_t *ctrl, const int32_t *length, const int32_t *nfs,
                                   const int32_t *ndesc, const int32_t *option, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, true, ierr)) return;
  tessera::hm_clear_trace();
  *ierr = 0;
  *ierr = tessera::hm_init_control(ctrl, *length, *nfs, *ndesc, *option);
}
