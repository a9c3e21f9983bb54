// vellox._vellox: the merger for Python. Paths and texts cross as bytes (the
// package turns them into str with os.fsdecode); reports cross as tuples
// that the package wraps in its own classes.
//
// A merge runs with the GIL released, so merges in several threads run at
// once. At each yield the merge may stop: when its cancel token is set (no
// GIL needed), when a signal handler raises (KeyboardInterrupt on the main
// thread), or when the progress callback raises; the error is raised again
// once the merge has ended cleanly.
#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <string>

#include "vellox/KWVellox.hpp"

namespace py = pybind11;

namespace {

// Shared by the merges of one merge_many call: set, every merge using it
// stops at its next yield.
struct CancelToken {
  std::atomic<bool> Cancelled{false};
};

const char* FateName(vellox::InputFate fate) {
  switch (fate) {
    case vellox::InputFate::Copied: return "copied";
    case vellox::InputFate::DeletedEmpty: return "deleted-empty";
    case vellox::InputFate::DroppedMissing: return "missing";
    case vellox::InputFate::NotReached: return "not-reached";
    case vellox::InputFate::KeptEmpty: return "kept-empty";
  }
  return "unknown";
}

py::list PageList(const std::vector<vellox::PageNote>& pages) {
  py::list list;
  for (const vellox::PageNote& page : pages) list.append(py::make_tuple(page.Index, py::bytes(page.Reason)));
  return list;
}

// (result, reason, pages, bytes, [(path, fate, result, pages, reason, skipped, left_out, transcoded)...], bigtiff)
py::tuple ReportTuple(const vellox::MergeReport& report) {
  py::list files;
  for (const vellox::FileReport& file : report.Files)
    files.append(py::make_tuple(py::bytes(file.Path), FateName(file.Fate), file.Result, file.Pages,
                                py::bytes(file.Reason), PageList(file.Skipped), PageList(file.LeftOut),
                                PageList(file.Transcoded)));
  return py::make_tuple(report.Result, py::bytes(report.Reason), report.PagesWritten, report.BytesWritten, files,
                        report.BigTiff);
}

vellox::OutputFormat FormatNamed(const std::string& format) {
  if (format == "classic") return vellox::OutputFormat::Classic;
  if (format == "bigtiff") return vellox::OutputFormat::BigTiff;
  if (format == "auto") return vellox::OutputFormat::Auto;
  throw py::value_error("format must be 'auto', 'classic' or 'bigtiff'");
}

vellox::CloneMode CloneModeNamed(const std::string& clone) {
  if (clone == "auto") return vellox::CloneMode::Auto;
  if (clone == "never") return vellox::CloneMode::Never;
  throw py::value_error("clone must be 'auto' or 'never'");
}

vellox::ByteOrder ByteOrderNamed(const std::string& order) {
  if (order == "first") return vellox::ByteOrder::First;
  if (order == "little") return vellox::ByteOrder::Little;
  if (order == "big") return vellox::ByteOrder::Big;
  if (order == "auto") return vellox::ByteOrder::Auto;
  throw py::value_error("byte_order must be 'first', 'little', 'big' or 'auto'");
}

// One Tiff_Merge call: returns (result, the list as the call left it, report).
py::tuple Merge(std::string list, std::string directory, std::string name, bool sync, const std::string& format,
                const std::string& clone, const std::string& byteOrder, const py::object& progress, bool checkSignals,
                const std::shared_ptr<CancelToken>& cancel) {
  vellox::KWVellox merger;
  vellox::MergeOptions options;
  options.Sync = sync;
  options.Format = FormatNamed(format);
  options.Clone = CloneModeNamed(clone);
  options.Order = ByteOrderNamed(byteOrder);
  merger.SetOptions(options);
  std::unique_ptr<py::error_already_set> pending;  // raised in the hook, raised again at the end
  const bool report = !progress.is_none();
  merger.SetYieldHook([&]() -> bool {
    if (cancel && cancel->Cancelled.load(std::memory_order_relaxed)) return false;
    if (!checkSignals && !report) return true;
    py::gil_scoped_acquire gil;
    try {
      if (checkSignals && PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (report) progress(ReportTuple(merger.Report()));
    } catch (py::error_already_set& error) {
      pending = std::make_unique<py::error_already_set>(std::move(error));
      return false;
    } catch (...) {
      // A C++ exception out of a callback (pybind11 casts): kept as a Python one.
      try {
        throw;
      } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
      } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown failure in the progress callback");
      }
      pending = std::make_unique<py::error_already_set>();
      return false;
    }
    return true;
  });
  std::int32_t result = 0;
  {
    py::gil_scoped_release release;
    result = merger.Tiff_Merge(list, directory, name);
  }
  if (pending) throw std::move(*pending);
  return py::make_tuple(result, py::bytes(list), ReportTuple(merger.Report()));
}

std::string Version() {
  vellox::KWVellox merger;
  return merger.Version();
}

}  // namespace

PYBIND11_MODULE(_vellox, module) {
  module.doc() = "The native merger of the vellox package; use the functions of `vellox` instead.";

  py::class_<CancelToken, std::shared_ptr<CancelToken>>(module, "CancelToken",
                                                        "Stops every merge that holds it at its next yield.")
      .def(py::init<>())
      .def(
          "cancel", [](CancelToken& token) { token.Cancelled = true; }, "Ask the merges to stop.")
      .def_property_readonly("cancelled", [](const CancelToken& token) { return token.Cancelled.load(); });

  module.def("version", &Version, "The component's version, e.g. '1.0.4'.");
  module.def("merge", &Merge, py::arg("file_names"), py::arg("output_dir"), py::arg("new_file_name"),
             py::arg("sync") = false, py::arg("format") = "auto", py::arg("clone") = "never",
             py::arg("byte_order") = "first", py::arg("progress") = py::none(), py::arg("check_signals") = false,
             py::arg("cancel") = nullptr,
             "One Tiff_Merge call with the GIL released. Returns (result, file_names as the call left it, "
             "report tuple).");
  module.def(
      "remove_temporary_files", [] { vellox::RemoveTemporaryFiles(); },
      "Remove the hidden temporary outputs of merges running in this process (for a process about to end).");
}
