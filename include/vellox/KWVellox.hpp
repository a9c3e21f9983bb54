// The component: the merger as the automation object KWVellox offers it,
// with its fixed call Tiff_Merge(list, folder, name). New code can call
// vellox::Merge (vellox.hpp) directly; this class is a thin adapter over it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "vellox/vellox.hpp"

namespace vellox {

// The merger. One object runs one merge at a time; every call runs
// synchronously on the caller's thread.
class KWVellox {
 public:
  KWVellox();
  ~KWVellox();
  KWVellox(const KWVellox&) = delete;
  KWVellox& operator=(const KWVellox&) = delete;

  // The component's version as "major.minor.revision", e.g. "1.0.4".
  std::string Version();

  // Merges the TIFF files listed in FileNamess (UTF-8 paths separated by
  // ",") into OutputDir/NewFileName and returns a ResultCode. A "," is
  // appended to FileNamess when it does not end with one. Listed files that
  // are empty are deleted.
  std::int32_t Tiff_Merge(std::string& FileNamess, std::string& OutputDir, std::string& NewFileName);

  // Called at every yield of a merge (twice per directory copied), for
  // progress or message pumping. A hook that returns bool cancels the merge
  // by returning false: the merge then ends as -1 with the reason
  // "cancelled", writes nothing and leaves an existing target untouched. A
  // hook that returns nothing never cancels. The hook must not start another
  // merge on this object; such a call returns -1 at once.
  template <class Hook>
  void SetYieldHook(Hook hook) {
    if constexpr (std::is_constructible_v<bool, Hook&>) {
      if (!static_cast<bool>(hook)) {
        SetHook(nullptr);
        return;
      }
    }
    if constexpr (std::is_void_v<std::invoke_result_t<Hook&>>)
      SetHook([observe = std::move(hook)]() mutable {
        observe();
        return true;
      });
    else
      SetHook(std::move(hook));
  }

  // Options for the following merges.
  void SetOptions(const MergeOptions& options);
  const MergeOptions& GetOptions() const noexcept;

  // The report of the merge in progress (from the yield hook) or of the
  // last one.
  const MergeReport& Report() const noexcept;

 private:
  void SetHook(std::function<bool()> hook);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vellox
