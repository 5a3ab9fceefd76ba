// The entry point of audenc.so.
#include <cstring>

#include "External/Encoder/LiveEncoder.h"
#include "External/Encoder/SkimEncoder.h"
#include "External/Encoder/include/Encoder.h"
#include "Lib/Platform/Export.h"

using logrum::audenc::ILiveEncoder;
using logrum::audenc::ISkimEncoder;
using logrum::audenc::LiveEncoderParams;
using logrum::audenc::SkimEncoderParams;

LOGRUM_EXPORT void* _6A7B31(const void* pParams) {
  try {
    if (!pParams) return nullptr;
    uint32_t head[2];
    std::memcpy(head, pParams, sizeof head);
    if (head[1] == logrum::audenc::kLiveEncoderKind && head[0] == sizeof(LiveEncoderParams)) {
      LiveEncoderParams params;
      std::memcpy(&params, pParams, sizeof params);
      return static_cast<ILiveEncoder*>(new logrum::audenc::LiveEncoder(params));
    }
    if (head[1] == logrum::audenc::kSkimEncoderKind && head[0] == sizeof(SkimEncoderParams)) {
      SkimEncoderParams params;
      std::memcpy(&params, pParams, sizeof params);
      return static_cast<ISkimEncoder*>(new logrum::audenc::SkimEncoder(params));
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}
