// vellox._vellox: the library's merge and append calls for Python, and its
// reports as the classes Report, FileReport and Page. Paths cross into the library as
// bytes (the package encodes them with os.fsencode) and come back as str
// decoded as os.fsdecode does, so names that are not UTF-8 round-trip.
//
// Merges run with the GIL released, so merges in several threads run at
// once. A merge stops at its next step when a signal handler raises
// (KeyboardInterrupt on the main thread) or a callback raises; the error is
// raised again once the merge has ended cleanly.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vellox/KWVellox.hpp"

namespace py = pybind11;
using vellox::FileReport;
using vellox::MergeReport;
using vellox::PageNote;

namespace {

// Bytes from the library as str, the way os.fsdecode turns them.
py::str Text(const std::string& bytes) {
  PyObject* text = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

std::string TypeName(const py::handle& value) {
  return Py_TYPE(value.ptr())->tp_name;
}

template <class Item>
py::tuple TupleOf(const std::vector<Item>& items) {
  py::tuple tuple(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) tuple[i] = py::cast(items[i]);
  return tuple;
}

// The reports as plain tuples (strings as bytes): their pickled state and
// what equality compares.
py::tuple PagesState(const std::vector<PageNote>& pages) {
  py::tuple state(pages.size());
  for (std::size_t i = 0; i < pages.size(); ++i) state[i] = py::make_tuple(pages[i].Index, py::bytes(pages[i].Reason));
  return state;
}

std::vector<PageNote> PagesFrom(const py::tuple& state) {
  std::vector<PageNote> pages;
  for (const py::handle& item : state) {
    const auto page = item.cast<py::tuple>();
    pages.push_back({page[0].cast<std::uint32_t>(), page[1].cast<std::string>()});
  }
  return pages;
}

py::tuple FileState(const FileReport& file) {
  return py::make_tuple(py::bytes(file.Path), static_cast<int>(file.Status), static_cast<int>(file.Fate), file.Result,
                        file.Pages, py::bytes(file.Reason), PagesState(file.Skipped), PagesState(file.LeftOut),
                        PagesState(file.Transcoded));
}

FileReport FileFrom(const py::tuple& state) {
  FileReport file;
  file.Path = state[0].cast<std::string>();
  file.Status = static_cast<vellox::Status>(state[1].cast<int>());
  file.Fate = static_cast<vellox::InputFate>(state[2].cast<int>());
  file.Result = state[3].cast<std::int32_t>();
  file.Pages = state[4].cast<std::uint32_t>();
  file.Reason = state[5].cast<std::string>();
  file.Skipped = PagesFrom(state[6].cast<py::tuple>());
  file.LeftOut = PagesFrom(state[7].cast<py::tuple>());
  file.Transcoded = PagesFrom(state[8].cast<py::tuple>());
  return file;
}

py::tuple ReportState(const MergeReport& report) {
  py::tuple files(report.Files.size());
  for (std::size_t i = 0; i < report.Files.size(); ++i) files[i] = FileState(report.Files[i]);
  return py::make_tuple(static_cast<int>(report.Status), report.Result, py::bytes(report.Reason),
                        py::bytes(report.Output), files, report.PagesWritten, report.BytesWritten, report.BigTiff);
}

MergeReport ReportFrom(const py::tuple& state) {
  MergeReport report;
  report.Status = static_cast<vellox::Status>(state[0].cast<int>());
  report.Result = state[1].cast<std::int32_t>();
  report.Reason = state[2].cast<std::string>();
  report.Output = state[3].cast<std::string>();
  for (const py::handle& file : state[4].cast<py::tuple>()) report.Files.push_back(FileFrom(file.cast<py::tuple>()));
  report.PagesWritten = state[5].cast<std::uint64_t>();
  report.BytesWritten = state[6].cast<std::uint64_t>();
  report.BigTiff = state[7].cast<bool>();
  return report;
}

py::str FileRepr(const FileReport& file) {
  const char* fate = vellox::ToString(file.Fate);
  std::string text = py::str("FileReport({!r}, {}, {} page{}")
                         .format(Text(file.Path), fate, file.Pages, file.Pages == 1 ? "" : "s")
                         .cast<std::string>();
  if (file.Result != vellox::kMergeWritten && file.Fate == vellox::InputFate::Copied)
    text += ", result " + std::to_string(file.Result);
  if (!file.Reason.empty()) text += ", " + py::repr(Text(file.Reason)).cast<std::string>();
  if (!file.Skipped.empty()) text += ", " + std::to_string(file.Skipped.size()) + " skipped";
  if (!file.LeftOut.empty()) text += ", " + std::to_string(file.LeftOut.size()) + " with parts left out";
  if (!file.Transcoded.empty()) text += ", " + std::to_string(file.Transcoded.size()) + " transcoded";
  return text + ")";
}

py::str ReportRepr(const MergeReport& report) {
  std::string files;
  for (const FileReport& file : report.Files) files += (files.empty() ? "" : ", ") + FileRepr(file).cast<std::string>();
  std::string text =
      "Report(status=" + std::string(vellox::ToString(report.Status)) + ", result=" + std::to_string(report.Result);
  if (!report.Reason.empty()) text += ", reason=" + py::repr(Text(report.Reason)).cast<std::string>();
  text += ", output=" + py::repr(Text(report.Output)).cast<std::string>() +
          ", pages=" + std::to_string(report.PagesWritten) + ", bytes=" + std::to_string(report.BytesWritten);
  if (report.BigTiff) text += ", bigtiff=True";
  return text + ", files=[" + files + "])";
}

// An option's value from its name, through the library's names; `all` lists
// the values for the message about a name that is none of them.
template <class Value, std::size_t N>
Value Named(const py::handle& name, const char* what, const std::array<Value, N>& all) {
  if (!py::isinstance<py::str>(name)) throw py::type_error(std::string(what) + " must be a str, not " + TypeName(name));
  Value value{};
  if (vellox::FromString(name.cast<std::string>(), value)) return value;
  std::string names;
  for (Value each : all) names += (names.empty() ? "'" : ", '") + std::string(vellox::ToString(each)) + "'";
  throw py::value_error(std::string(what) + " must be one of " + names + ", not " + py::repr(name).cast<std::string>());
}

vellox::MergeOptions OptionsFrom(const py::handle& sync, const py::handle& format, const py::handle& clone,
                                 const py::handle& order) {
  using F = vellox::OutputFormat;
  using C = vellox::CloneMode;
  using B = vellox::ByteOrder;
  if (!py::isinstance<py::bool_>(sync)) throw py::type_error("sync must be a bool, not " + TypeName(sync));
  vellox::MergeOptions options;
  options.Sync = sync.cast<bool>();
  options.Format = Named(format, "format", std::array{F::Auto, F::Classic, F::BigTiff});
  options.Clone = Named(clone, "clone", std::array{C::Auto, C::Never});
  options.Order = Named(order, "byte_order", std::array{B::First, B::Little, B::Big, B::Auto});
  return options;
}

void CheckCallable(const py::handle& callback, const char* what) {
  if (!callback.is_none() && PyCallable_Check(callback.ptr()) == 0)
    throw py::type_error(std::string(what) + " must be callable or None, not " + TypeName(callback));
}

// Each input as (path encoded by os.fsencode, page selection or "").
using Paths = std::vector<std::pair<std::string, std::string>>;

vellox::MergeRequest Request(const Paths& inputs, const std::string& output, const vellox::MergeOptions& options) {
  vellox::MergeRequest request;
  request.Inputs.reserve(inputs.size());
  for (const auto& [path, pages] : inputs) request.Inputs.emplace_back(vellox::PathFromUtf8(path), pages);
  request.Output = vellox::PathFromUtf8(output);
  request.Options = options;
  return request;
}

// The first exception raised by Python code that a running merge calls,
// kept until the merge has ended and then raised again. Used with the GIL
// held.
class PendingError {
 public:
  // Runs `call`; returns false (the merge should stop) when it raised.
  template <class Call>
  bool Run(Call&& call) {
    try {
      call();
      return true;
    } catch (py::error_already_set& error) {
      Keep(std::move(error));
    } catch (const std::exception& error) {
      // A C++ exception out of a callback (a pybind11 cast): kept as a Python one.
      PyErr_SetString(PyExc_RuntimeError, error.what());
      Keep(py::error_already_set());
    }
    return false;
  }

  void RaiseIfAny() {
    if (error_) throw std::move(*error_);
  }

 private:
  void Keep(py::error_already_set&& error) {
    if (!error_) error_ = std::make_unique<py::error_already_set>(std::move(error));
  }

  std::unique_ptr<py::error_already_set> error_;
};

void RaiseOnSignal() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// Runs `request` (a merge or an append) with the GIL released; progress and
// Ctrl-C reach it through its progress callback.
MergeReport RunRequest(const vellox::MergeRequest& request, const py::object& progress, bool checkSignals) {
  CheckCallable(progress, "progress");
  PendingError pending;
  vellox::ProgressCallback step;
  if (checkSignals || !progress.is_none())
    step = [&](const MergeReport& report) {
      py::gil_scoped_acquire gil;
      return pending.Run([&] {
        if (checkSignals) RaiseOnSignal();
        if (!progress.is_none()) progress(report);
      });
    };
  MergeReport report;
  {
    py::gil_scoped_release release;
    report = vellox::Merge(request, step);
  }
  pending.RaiseIfAny();
  return report;
}

MergeReport Merge(const Paths& inputs, const std::string& output, const py::object& sync, const py::object& format,
                  const py::object& clone, const py::object& byteOrder, const py::object& progress, bool checkSignals,
                  bool collate) {
  CheckCallable(progress, "progress");
  vellox::MergeRequest request = Request(inputs, output, OptionsFrom(sync, format, clone, byteOrder));
  request.Options.Collate = collate;
  return RunRequest(request, progress, checkSignals);
}

MergeReport Append(const std::string& target, const Paths& inputs, const py::object& clone, const py::object& progress,
                   bool checkSignals) {
  CheckCallable(progress, "progress");
  vellox::MergeOptions options;
  options.Clone = Named(clone, "clone", std::array{vellox::CloneMode::Auto, vellox::CloneMode::Never});
  vellox::MergeRequest request = Request(inputs, target, options);
  request.Append = true;
  return RunRequest(request, progress, checkSignals);
}

// Thrown by MergeMany's Finished callback once the merges must stop: the
// library then starts no more of them.
struct Stopped {};

std::vector<MergeReport> MergeMany(const std::vector<std::pair<Paths, std::string>>& jobs, unsigned workers,
                                   const py::object& sync, const py::object& format, const py::object& clone,
                                   const py::object& byteOrder, const py::object& finished, bool checkSignals) {
  CheckCallable(finished, "finished");
  const vellox::MergeOptions options = OptionsFrom(sync, format, clone, byteOrder);
  std::vector<vellox::MergeRequest> requests;
  requests.reserve(jobs.size());
  for (const auto& [inputs, output] : jobs) requests.push_back(Request(inputs, output, options));

  // The library's check by file identity, here too so that a clash is an
  // error before anything runs.
  std::vector<std::string> problems;
  {
    py::gil_scoped_release release;
    problems = vellox::CheckJobs(requests);
  }
  std::string clashes;
  for (const std::string& problem : problems)
    if (!problem.empty()) clashes += (clashes.empty() ? "" : "; ") + problem;
  if (!clashes.empty()) throw py::value_error(clashes);

  PendingError pending;
  std::stop_source stop;
  vellox::MergeManyOptions run;
  run.Workers = workers;
  run.Stop = stop.get_token();
  run.Finished = [&](std::size_t index, const MergeReport& report) {
    if (!finished.is_none()) {
      py::gil_scoped_acquire gil;
      if (!pending.Run([&] { finished(index, report); })) stop.request_stop();
    }
    if (stop.stop_requested()) throw Stopped{};
  };

  std::vector<MergeReport> reports;
  std::exception_ptr failure;
  {
    py::gil_scoped_release release;
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread runner([&] {
      try {
        reports = vellox::MergeMany(requests, run);
      } catch (const Stopped&) {
      } catch (...) {
        failure = std::current_exception();
      }
      std::lock_guard lock(mutex);
      done = true;
      ended.notify_one();
    });
    // Python handles signals on the main thread only, so that thread watches
    // for them while the workers merge, and stops every merge on one.
    std::unique_lock lock(mutex);
    while (!ended.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; })) {
      if (!checkSignals || stop.stop_requested()) continue;
      lock.unlock();
      {
        py::gil_scoped_acquire gil;
        if (!pending.Run(RaiseOnSignal)) stop.request_stop();
      }
      lock.lock();
    }
    lock.unlock();
    runner.join();
  }
  pending.RaiseIfAny();
  if (failure) std::rethrow_exception(failure);
  return reports;
}

// Why `text` is not a page selection, or "" when it is one.
std::string PagesProblem(const std::string& text) {
  vellox::PageSelection selection;
  std::string why;
  return vellox::PageSelection::Parse(text, selection, &why) ? std::string() : why;
}

vellox::SplitReport Split(const std::pair<std::string, std::string>& input, const std::string& pattern,
                          std::uint32_t every, bool sync, bool checkSignals) {
  vellox::SplitRequest request;
  request.Source = vellox::Input(vellox::PathFromUtf8(input.first), input.second);
  request.Pattern = pattern;
  request.Every = every;
  request.Sync = sync;
  PendingError pending;
  vellox::ProgressCallback step;
  if (checkSignals)
    step = [&](const MergeReport&) {
      py::gil_scoped_acquire gil;
      return pending.Run(RaiseOnSignal);
    };
  vellox::SplitReport report;
  {
    py::gil_scoped_release release;
    report = vellox::Split(request, step);
  }
  pending.RaiseIfAny();
  return report;
}

// One Tiff_Merge call of the component: (result, the list as the call left it).
py::tuple TiffMerge(std::string list, std::string directory, std::string name, bool checkSignals) {
  vellox::KWVellox merger;
  PendingError pending;
  if (checkSignals)
    merger.SetYieldHook([&]() -> bool {
      py::gil_scoped_acquire gil;
      return pending.Run(RaiseOnSignal);
    });
  std::int32_t result = 0;
  {
    py::gil_scoped_release release;
    result = merger.Tiff_Merge(list, directory, name);
  }
  pending.RaiseIfAny();
  return py::make_tuple(result, py::bytes(list));
}

template <class Class, class T>
void Comparable(Class& type, py::tuple (*state)(const T&), T (*from)(const py::tuple&)) {
  type.def("__eq__",
           [state](const T& a, const py::object& b) -> py::object {
             if (!py::isinstance<T>(b)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
             return py::bool_(state(a).equal(state(b.cast<const T&>())));
           })
      .def("__hash__", [state](const T& a) { return py::hash(state(a)); })
      .def(py::pickle([state](const T& a) { return state(a); }, [from](const py::tuple& s) { return from(s); }));
}

// "PageInfo(0, 1728x2200, 1-bit x 1, compression 4, 1 strip)".
py::str PageInfoRepr(const vellox::PageInfo& page) {
  const std::string pieces =
      std::to_string(page.Pieces) + (page.Tiled ? " tile" : " strip") + (page.Pieces == 1 ? "" : "s");
  std::string text = "PageInfo(" + std::to_string(page.Index) + ", " + std::to_string(page.Width) + "x" +
                     std::to_string(page.Height) + ", " + std::to_string(page.BitsPerSample) + "-bit x " +
                     std::to_string(page.SamplesPerPixel) + ", compression " + std::to_string(page.Compression) + ", " +
                     pieces;
  if (!page.Skipped.empty()) text += ", skipped";
  if (!page.LeftOut.empty()) text += ", " + std::to_string(page.LeftOut.size()) + " left out";
  return text + ")";
}

py::str FileInfoRepr(const vellox::FileInfo& file) {
  std::string text = "FileInfo(" + py::repr(Text(file.Path)).cast<std::string>() + ", " + vellox::ToString(file.Status);
  if (file.Tiff)
    text += std::string(file.BigTiff ? ", bigtiff" : ", classic") + (file.LittleEndian ? ", little" : ", big") + ", " +
            std::to_string(file.Pages.size()) + (file.Pages.size() == 1 ? " page" : " pages");
  if (!file.Reason.empty()) text += ", " + py::repr(Text(file.Reason)).cast<std::string>();
  return text + ")";
}

// A file's pages through the library's Info, with the GIL released.
vellox::FileInfo Info(const std::string& path) {
  py::gil_scoped_release release;
  return vellox::Info(vellox::PathFromUtf8(path));
}

py::tuple PageState(const PageNote& page) {
  return py::make_tuple(page.Index, py::bytes(page.Reason));
}

PageNote PageFrom(const py::tuple& state) {
  return {state[0].cast<std::uint32_t>(), state[1].cast<std::string>()};
}

}  // namespace

PYBIND11_MODULE(_vellox, module) {
  module.doc() = "The native merger of the vellox package; use the functions of `vellox` instead.";

  py::class_<PageNote> page(module, "Page",
                            "A page left out whole (FileReport.skipped) or in part (left_out), or copied with its "
                            "compressed samples decoded and encoded again in the output's byte order (transcoded).");
  page.def_readonly("index", &PageNote::Index, "0-based position of the page in its file")
      .def_property_readonly("reason", [](const PageNote& p) { return Text(p.Reason); })
      .def("__repr__", [](const PageNote& p) { return py::str("Page({}, {!r})").format(p.Index, Text(p.Reason)); });
  Comparable(page, &PageState, &PageFrom);

  py::class_<FileReport> file(module, "FileReport",
                              "What became of one input: status and fate (stable names such as 'ok', 'missing', "
                              "'copied'), the per-file result code, its pages in the output, and why when not whole.");
  file.def_property_readonly("path", [](const FileReport& f) { return Text(f.Path); })
      .def_property_readonly("status", [](const FileReport& f) { return vellox::ToString(f.Status); })
      .def_property_readonly("fate", [](const FileReport& f) { return vellox::ToString(f.Fate); })
      .def_readonly("result", &FileReport::Result)
      .def_readonly("pages", &FileReport::Pages)
      .def_property_readonly("reason", [](const FileReport& f) { return Text(f.Reason); })
      .def_property_readonly("skipped", [](const FileReport& f) { return TupleOf(f.Skipped); })
      .def_property_readonly("left_out", [](const FileReport& f) { return TupleOf(f.LeftOut); })
      .def_property_readonly("transcoded", [](const FileReport& f) { return TupleOf(f.Transcoded); })
      .def_property_readonly("failed", &vellox::InputFailed,
                             "True when the file was missing, or was copied without all of its pages.")
      .def("__repr__", &FileRepr);
  Comparable(file, &FileState, &FileFrom);

  py::class_<MergeReport> report(module, "Report",
                                 "The report of one merge: its status ('ok' when the output was written) and result "
                                 "code, the reason when not ok, the output, its pages and bytes, one FileReport per "
                                 "input, and whether the output is BigTIFF.");
  report.def_property_readonly("status", [](const MergeReport& r) { return vellox::ToString(r.Status); })
      .def_readonly("result", &MergeReport::Result)
      .def_property_readonly("reason", [](const MergeReport& r) { return Text(r.Reason); })
      .def_property_readonly("output", [](const MergeReport& r) { return Text(r.Output); })
      .def_readonly("pages", &MergeReport::PagesWritten)
      .def_readonly("bytes", &MergeReport::BytesWritten)
      .def_property_readonly("files", [](const MergeReport& r) { return TupleOf(r.Files); })
      .def_readonly("bigtiff", &MergeReport::BigTiff)
      .def_property_readonly(
          "complete",
          [](const MergeReport& r) { return r.Result == vellox::kMergeWritten && !vellox::SomeInputFailed(r); },
          "True when the output was written and every input went in whole.")
      .def("__repr__", &ReportRepr);
  Comparable(report, &ReportState, &ReportFrom);

  py::class_<vellox::SplitReport>(module, "SplitReport",
                                  "What a split wrote: status, reason, parts (paths), pages, bytes, bigtiff, source "
                                  "(the input's FileReport, with notes on its pages).")
      .def_property_readonly("status", [](const vellox::SplitReport& r) { return vellox::ToString(r.Status); })
      .def_readonly("reason", &vellox::SplitReport::Reason)
      .def_property_readonly("parts",
                             [](const vellox::SplitReport& r) {
                               py::list parts;
                               for (const std::string& part : r.Parts)
                                 parts.append(py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefaultAndSize(
                                     part.data(), static_cast<Py_ssize_t>(part.size()))));
                               return parts;
                             })
      .def_readonly("pages", &vellox::SplitReport::PagesWritten)
      .def_readonly("bytes", &vellox::SplitReport::BytesWritten)
      .def_readonly("bigtiff", &vellox::SplitReport::BigTiff)
      .def_readonly("source", &vellox::SplitReport::Source)
      .def("__repr__", [](const vellox::SplitReport& r) {
        return "SplitReport(status='" + std::string(vellox::ToString(r.Status)) +
               "', parts=" + std::to_string(r.Parts.size()) + ", pages=" + std::to_string(r.PagesWritten) + ")";
      });
  module.def("pages_problem", &PagesProblem, py::arg("text"),
             "Why the text is not a page selection, or '' when it is one.");
  module.def("split", &Split, py::arg("input"), py::arg("pattern"), py::arg("every") = 1, py::arg("sync") = false,
             py::arg("check_signals") = false, "vellox::Split with the GIL released.");
  using vellox::FileInfo;
  using vellox::PageInfo;
  py::class_<PageInfo>(module, "PageInfo",
                       "One page of a file as info() reads it, and what a merge does with it: skipped (why it is "
                       "left out whole, or ''), left_out (parts left out), other_byte_order ('copied', "
                       "'transcoded' or 'skipped' in a merge into the other byte order).")
      .def_readonly("index", &PageInfo::Index, "0-based position of the page in its file")
      .def_readonly("offset", &PageInfo::Offset, "the offset of its directory")
      .def_readonly("width", &PageInfo::Width)
      .def_readonly("height", &PageInfo::Height)
      .def_readonly("bits_per_sample", &PageInfo::BitsPerSample)
      .def_readonly("samples_per_pixel", &PageInfo::SamplesPerPixel)
      .def_readonly("compression", &PageInfo::Compression)
      .def_readonly("photometric", &PageInfo::Photometric, "None when the page has none")
      .def_readonly("tiled", &PageInfo::Tiled)
      .def_readonly("pieces", &PageInfo::Pieces, "strips or tiles")
      .def_readonly("tile_width", &PageInfo::TileWidth)
      .def_readonly("tile_length", &PageInfo::TileLength)
      .def_readonly("image_bytes", &PageInfo::ImageBytes)
      .def_readonly("sub_ifds", &PageInfo::SubIfds)
      .def_readonly("exif", &PageInfo::Exif)
      .def_readonly("gps", &PageInfo::Gps)
      .def_readonly("interoperability", &PageInfo::Interoperability)
      .def_property_readonly("skipped", [](const PageInfo& p) { return Text(p.Skipped); })
      .def_property_readonly("left_out",
                             [](const PageInfo& p) {
                               py::tuple parts(p.LeftOut.size());
                               for (std::size_t i = 0; i < p.LeftOut.size(); ++i) parts[i] = Text(p.LeftOut[i]);
                               return parts;
                             })
      .def_property_readonly("other_byte_order", [](const PageInfo& p) { return vellox::ToString(p.OtherOrder); })
      .def_property_readonly("other_byte_order_reason", [](const PageInfo& p) { return Text(p.OtherOrderReason); })
      .def("__repr__", &PageInfoRepr);

  py::class_<FileInfo>(module, "FileInfo",
                       "One file as info() reads it: status ('ok' when every page was read), reason, format "
                       "('classic', 'bigtiff', or None when it is not a TIFF), byte_order ('little', 'big' or None), "
                       "bytes and pages.")
      .def_property_readonly("path", [](const FileInfo& f) { return Text(f.Path); })
      .def_property_readonly("status", [](const FileInfo& f) { return vellox::ToString(f.Status); })
      .def_property_readonly("reason", [](const FileInfo& f) { return Text(f.Reason); })
      .def_property_readonly("format",
                             [](const FileInfo& f) -> py::object {
                               if (!f.Tiff) return py::none();
                               return py::str(f.BigTiff ? "bigtiff" : "classic");
                             })
      .def_property_readonly("byte_order",
                             [](const FileInfo& f) -> py::object {
                               if (!f.Tiff) return py::none();
                               return py::str(f.LittleEndian ? "little" : "big");
                             })
      .def_readonly("bytes", &FileInfo::Bytes)
      .def_property_readonly("pages", [](const FileInfo& f) { return TupleOf(f.Pages); })
      .def("__repr__", &FileInfoRepr);

  module.def("version", &vellox::Version, "The library's version, e.g. '1.0.4'.");
  module.def("info", &Info, py::arg("path"), "vellox::Info with the GIL released; the path as bytes.");
  module.def("merge", &Merge, py::arg("inputs"), py::arg("output"), py::arg("sync") = false, py::arg("format") = "auto",
             py::arg("clone") = "never", py::arg("byte_order") = "first", py::arg("progress") = py::none(),
             py::arg("check_signals") = false, py::arg("collate") = false,
             "vellox::Merge with the GIL released; paths as bytes. Returns the Report.");
  module.def("append", &Append, py::arg("target"), py::arg("inputs"), py::arg("clone") = "never",
             py::arg("progress") = py::none(), py::arg("check_signals") = false,
             "vellox::Append with the GIL released; paths as bytes. Returns the Report.");
  module.def("merge_many", &MergeMany, py::arg("jobs"), py::arg("workers") = 0, py::arg("sync") = false,
             py::arg("format") = "auto", py::arg("clone") = "never", py::arg("byte_order") = "first",
             py::arg("finished") = py::none(), py::arg("check_signals") = false,
             "vellox::MergeMany with the GIL released; jobs as (inputs, output) pairs of bytes. Raises ValueError "
             "when jobs clash. finished(index, report) is called as each merge ends, from its worker thread.");
  module.def("tiff_merge", &TiffMerge, py::arg("file_names"), py::arg("output_dir"), py::arg("new_file_name"),
             py::arg("check_signals") = false,
             "One Tiff_Merge call with the GIL released. Returns (result, file_names as the call left it).");
  module.def(
      "remove_temporary_files", [] { vellox::RemoveTemporaryFiles(); },
      "Remove the hidden temporary outputs of merges running in this process (for a process about to end).");
}
