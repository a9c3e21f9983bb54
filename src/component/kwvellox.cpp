// The component object: construction, version text and the yield.
#include "vellox/KWVellox.hpp"
#include "merge/merge_session.hpp"
#include "vellox/version.hpp"

namespace vellox {

KWVellox::KWVellox() = default;
KWVellox::~KWVellox() = default;

std::string KWVellox::Version() {
  // Major, minor and revision of the file version 1.0.0.4 (the revision is
  // its fourth part), without leading zeros.
  return std::to_string(VELLOX_VERSION_MAJOR) + "." + std::to_string(VELLOX_VERSION_MINOR) + "." +
         std::to_string(VELLOX_VERSION_TWEAK);
}

void RemoveTemporaryFiles() noexcept {
  platform::RemoveTemporaryFiles();
}

void KWVellox::YieldToHost() {
  if (Session != nullptr) Session->Report.BytesWritten = Session->Output.Position();
  if (YieldHook && !YieldHook()) throw Failure(FailureSource::Cancelled, "cancelled");
}

}  // namespace vellox
