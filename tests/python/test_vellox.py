"""The Python package: paths, reports, errors, threads, cancellation, merge_many."""
import os
import pickle
import signal
import stat
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import vellox
from conftest import pages

ROOT = Path(__file__).resolve().parents[2]


def listing(folder):
    return sorted(p.name for p in Path(folder).iterdir())


def test_version_stubs_and_marker():
    assert vellox.__version__ == "1.0.4"
    package = Path(vellox.__file__).parent
    assert (package / "py.typed").exists() and (package / "_vellox.pyi").exists()


def test_merge_takes_path_objects_unicode_and_relative_names(samples, tmp_path, monkeypatch):
    folder = tmp_path / "évêque 文書"
    folder.mkdir()
    unicode_input = samples["grey"].rename(folder / "ünï.tif")
    (tmp_path / "empty.tif").write_bytes(b"")
    monkeypatch.chdir(tmp_path)

    report = vellox.merge([samples["fax"], unicode_input, "empty.tif", Path("absent.tif")], folder / "out.tif")

    out = folder / "out.tif"
    assert (report.result, report.pages, report.bytes) == (1, 3, out.stat().st_size)
    assert pages(out) == 3
    assert report.output == str(out)
    assert [(f.fate, f.pages) for f in report.files] == [
        ("copied", 1), ("copied", 2), ("deleted-empty", 0), ("missing", 0)]
    assert report.files[1].path == str(unicode_input)
    assert report.files[3].path == str(tmp_path / "absent.tif") and report.files[3].reason
    assert not (tmp_path / "empty.tif").exists()
    assert not report.complete and report.files[3].failed
    assert "pages=3" in repr(report) and "'missing'" not in repr(report) and "missing" in repr(report)
    assert pickle.loads(pickle.dumps(report)) == report


@pytest.mark.parametrize("format, bigtiff", [("auto", False), ("classic", False), ("bigtiff", True)])
def test_format_chooses_classic_or_bigtiff(samples, tmp_path, format, bigtiff):
    report = vellox.merge([samples["fax"], samples["grey16"]], tmp_path / "out.tif", format=format)
    assert report.bigtiff is bigtiff and report.pages == 2
    assert (tmp_path / "out.tif").read_bytes()[2] == (43 if bigtiff else 42)


@pytest.mark.parametrize("byte_order, head, transcoded", [
    ("first", b"MM", 1), ("little", b"II", 0), ("big", b"MM", 1), ("auto", b"II", 0)])
def test_byte_order_chooses_the_output_order_and_transcoded_pages_are_reported(
        samples, tmp_path, byte_order, head, transcoded):
    # Big-endian uncompressed 16-bit samples (swapped, never transcoded), then little-endian deflated ones.
    import numpy
    import tifffile

    values = (numpy.arange(24 * 16, dtype=numpy.uint16) * 163).reshape(24, 16)
    tifffile.imwrite(tmp_path / "deflate16.tif", values, byteorder="<", compression="zlib", photometric="minisblack")
    inputs = [samples["grey16"], tmp_path / "deflate16.tif"]
    report = vellox.merge(inputs, tmp_path / "out.tif", byte_order=byte_order)
    many = vellox.merge_many([(inputs, tmp_path / "many.tif")], byte_order=byte_order)[0]

    assert (tmp_path / "out.tif").read_bytes()[:2] == head and report.complete and many.files == report.files
    assert [len(f.transcoded) for f in report.files] == [0, transcoded]
    assert ("1 transcoded" in repr(report)) == bool(transcoded)
    numpy.testing.assert_array_equal(tifffile.imread(tmp_path / "out.tif", key=1), values)


def test_paths_that_are_not_utf8_come_back_as_given(samples, tmp_path):
    odd = os.fsdecode(os.fsencode(str(tmp_path)) + b"/\xff\xfe.tif")
    os.rename(samples["fax"], odd)
    report = vellox.merge([odd], os.fsdecode(os.fsencode(str(tmp_path)) + b"/\xe9.tif"))
    assert report.files[0].path == odd
    assert os.fsencode(report.output).endswith(b"/\xe9.tif")


@pytest.mark.parametrize("inputs, output_name, result, reason", [
    (["absent.tif"], "out.tif", 0, "missing or empty"),
    (["text.tif", "fax"], "out.tif", -2, "not a TIFF"),
    (["fax"], "no-folder/out.tif", -3, "does not exist"),
    (["fax"], "fifo", -1, "fifo: not a regular file"),
])
def test_a_merge_that_writes_nothing_raises(samples, tmp_path, inputs, output_name, result, reason):
    (tmp_path / "text.tif").write_text("not a tiff")
    os.mkfifo(tmp_path / "fifo")  # the last case's target, refused and left a FIFO
    paths = [samples.get(name, tmp_path / name) for name in inputs]
    before = listing(tmp_path)
    with pytest.raises(vellox.MergeError) as caught:
        vellox.merge(paths, tmp_path / output_name)
    assert caught.value.result == result and reason in caught.value.reason
    assert caught.value.report.result == result
    assert listing(tmp_path) == before and stat.S_ISFIFO(os.lstat(tmp_path / "fifo").st_mode)
    assert pickle.loads(pickle.dumps(caught.value)).reason == caught.value.reason


@pytest.mark.parametrize("call, error", [
    (lambda p, e, o: vellox.merge(str(p), o), TypeError),
    (lambda p, e, o: vellox.merge([], o), ValueError),
    (lambda p, e, o: vellox.merge([e, 3], o), TypeError),
    (lambda p, e, o: vellox.merge({e: 1, p: 2}, o), TypeError),  # no merge order: dict, set, iterator
    (lambda p, e, o: vellox.merge({e, p}, o), TypeError),
    (lambda p, e, o: vellox.merge(iter([e, p]), o), TypeError),
    (lambda p, e, o: vellox.merge([e, p], str(o.parent) + "/"), ValueError),
    (lambda p, e, o: vellox.merge([e, p], None), TypeError),
    (lambda p, e, o: vellox.merge([e, p], o, format=43), TypeError),
    (lambda p, e, o: vellox.merge([e, p], o, format="tiff"), ValueError),
    (lambda p, e, o: vellox.merge([e, p], o, clone="always"), ValueError),
    (lambda p, e, o: vellox.merge([e, p], o, byte_order="native"), ValueError),
    (lambda p, e, o: vellox.merge([e, p], o, byte_order=None), TypeError),
    (lambda p, e, o: vellox.merge([e, p], o, sync="yes"), TypeError),
    (lambda p, e, o: vellox.merge([e, p], o, progress=5), TypeError),
    (lambda p, e, o: vellox.merge_many([([e, p], o)], workers=0), ValueError),
    (lambda p, e, o: vellox.merge_many([([e, p], o)], workers=65), ValueError),
    (lambda p, e, o: vellox.merge_many([{"inputs": [e, p]}]), ValueError),
    (lambda p, e, o: vellox.merge_many([([e, p], o)], byte_order="middle"), ValueError),
    (lambda p, e, o: vellox.merge_many([([e], o), ([p], o)]), ValueError),  # same output twice
    (lambda p, e, o: vellox.merge_many([([e], o), ([o], p)]), ValueError),  # reads another job's output
    (lambda p, e, o: vellox.tiff_merge([str(p)], str(o.parent), "x.tif"), TypeError),
])
def test_bad_arguments_raise_before_anything_is_touched(samples, tmp_path, call, error):
    empty = tmp_path / "empty.tif"
    empty.write_bytes(b"")
    before = listing(tmp_path)
    with pytest.raises(error):
        call(samples["fax"], empty, tmp_path / "out.tif")
    assert listing(tmp_path) == before  # the empty input is still there


def test_commas_in_paths_merge_and_statuses_are_named(samples, tmp_path):
    comma = samples["grey"].rename(tmp_path / "a,b.tif")
    (tmp_path / "text.tif").write_text("not a tiff")
    report = vellox.merge([samples["fax"], comma, tmp_path / "absent.tif"], tmp_path / "out,1.tif")
    assert (report.status, report.pages, pages(tmp_path / "out,1.tif")) == ("ok", 3, 3)
    assert [f.status for f in report.files] == ["ok", "ok", "missing"]

    # One worker: the failed first job runs before the other, which still merges.
    failed, written = vellox.merge_many([([tmp_path / "text.tif"], tmp_path / "x.tif"),
                                         ([comma], tmp_path / "y,2.tif")], workers=1)
    assert (failed.status, failed.result) == ("not-tiff", -2)
    assert written.status == "ok" and pages(tmp_path / "y,2.tif") == 2


def test_merge_many_refuses_jobs_that_write_one_file_through_a_link(samples, tmp_path):
    (tmp_path / "real").mkdir()
    (tmp_path / "lnk").symlink_to(tmp_path / "real")
    empty = tmp_path / "empty.tif"
    empty.write_bytes(b"")
    jobs = [([empty, samples["fax"]], tmp_path / "real" / "x.tif"), ([samples["grey"]], tmp_path / "lnk" / "x.tif")]
    with pytest.raises(ValueError, match="job 2 writes .*lnk/x.tif.* job 1 also writes"):
        vellox.merge_many(jobs)
    assert listing(tmp_path / "real") == [] and empty.exists()


def test_info_reads_pages_without_changing_files(samples, tmp_path):
    info = vellox.info(samples["grey16"])
    assert (info.status, info.format, info.byte_order, info.bytes) == ("ok", "classic", "big", 6422)
    (page,) = info.pages
    assert (page.width, page.height, page.bits_per_sample, page.photometric, page.tiled) == (64, 48, 16, 1, False)
    assert (page.skipped, page.left_out, page.other_byte_order) == ("", (), "copied")
    assert "64x48" in repr(page) and "'ok'" not in repr(info)
    (tmp_path / "empty.tif").write_bytes(b"")
    cut = tmp_path / "cut.tif"
    cut.write_bytes(samples["fax"].read_bytes()[:-100])  # its directory is at the end
    assert [(i.status, i.format) for i in map(vellox.info, [tmp_path / "empty.tif", cut])] == [
        ("not-tiff", None), ("damaged", "classic")]
    assert (tmp_path / "empty.tif").exists()
    with pytest.raises(TypeError):
        vellox.info(3)


def test_tiff_merge_is_the_literal_call(samples, tmp_path):
    names = f"{samples['fax']},{samples['grey']}"
    assert vellox.tiff_merge(names, tmp_path, "lit.tif") == (1, names + ",")
    assert pages(tmp_path / "lit.tif") == 3
    assert vellox.tiff_merge(names + ",", str(tmp_path / "none"), "x.tif") == (-3, names + ",")


def test_progress_sees_the_merge_and_an_exception_in_it_cancels(samples, tmp_path):
    seen = []
    vellox.merge([samples["fax"], samples["grey"]], tmp_path / "out.tif", progress=seen.append)
    assert seen and all(isinstance(r, vellox.Report) for r in seen)
    assert [r.pages for r in seen] == sorted(r.pages for r in seen) and seen[-1].pages >= 2

    target = tmp_path / "out.tif"
    kept = target.read_bytes()
    before = listing(tmp_path)

    def fail(report):
        if report.pages >= 1:
            raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        vellox.merge([samples["fax"], samples["grey"]], target, progress=fail)
    assert target.read_bytes() == kept and listing(tmp_path) == before


def test_ctrl_c_cancels_a_running_merge(samples, tmp_path):
    many = [samples["grey"]] * 3000
    target = tmp_path / "out.tif"
    target.write_bytes(b"old")
    before = listing(tmp_path)
    started = threading.Event()

    def interrupt():
        started.wait()
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=interrupt)
    thread.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            vellox.merge(many, target, progress=lambda report: started.set())
    finally:
        started.set()
        thread.join()
    assert target.read_bytes() == b"old" and listing(tmp_path) == before


def test_merges_in_threads_run_alongside(samples, tmp_path):
    # Correctness only; the speed-up of two threads is measured by bench/batch.sh.
    inputs = [samples["fax"], samples["grey"], samples["grey16"]] * 50
    reports = {}

    def run(i):
        reports[i] = vellox.merge(inputs, tmp_path / f"out{i}.tif")

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(reports) == [0, 1, 2, 3]
    for i in range(4):
        assert reports[i].pages == 200 and pages(tmp_path / f"out{i}.tif") == 200
        assert (tmp_path / f"out{i}.tif").read_bytes() == (tmp_path / "out0.tif").read_bytes()


def test_merge_many_returns_one_outcome_per_job_in_order(samples, tmp_path):
    jobs = [{"inputs": [samples["fax"], samples["grey"]], "output": tmp_path / f"o{i}.tif"} for i in range(20)]
    jobs.append(([tmp_path / "absent.tif"], tmp_path / "failed.tif"))
    jobs.append(([samples["grey16"], tmp_path / "absent.tif"], tmp_path / "partial.tif"))
    calls = []
    outcomes = vellox.merge_many(jobs, workers=3, progress=lambda *args: calls.append(args))

    assert [type(o).__name__ for o in outcomes] == ["Report"] * 20 + ["MergeError", "Report"]
    assert all(o.pages == 3 and o.complete for o in outcomes[:20])
    assert outcomes[20].result == 0 and not outcomes[21].complete
    assert [done for done, _, _ in calls] == list(range(1, 23)) and {total for _, total, _ in calls} == {22}
    assert pages(tmp_path / "o19.tif") == 3 and not (tmp_path / "failed.tif").exists()


def test_an_exception_in_merge_many_progress_stops_the_rest(samples, tmp_path):
    jobs = [([samples["grey"]] * 200, tmp_path / f"o{i}.tif") for i in range(40)]

    def stop(done, total, outcome):
        raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        vellox.merge_many(jobs, workers=2, progress=stop)
    written = [p for p in tmp_path.iterdir() if p.name.startswith("o")]
    assert 1 <= len(written) < 40
    assert all(pages(p) == 400 for p in written)  # whole outputs only
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".vellox")]


def test_dask_example_on_a_local_cluster_of_two_processes(samples, tmp_path):
    pytest.importorskip("distributed")
    jobs = tmp_path / "jobs.jsonl"
    lines = [f'{{"output": "out/{i}.tif", "inputs": ["{samples["fax"].name}", "{samples["grey16"].name}"]}}'
             for i in range(12)]
    lines.append(f'out/partial.tif\t{samples["grey"].name}\tabsent.tif')
    jobs.write_text("\n".join(lines) + "\n")
    (tmp_path / "out").mkdir()
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "dask_merge.py"), str(jobs), "--local", "2",
                          "--chunk", "4"], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 3, run.stdout + run.stderr
    assert "13 jobs" in run.stdout and "12 written whole, 1 partial, 0 failed" in run.stdout
    assert "partial.tif: partial:" in run.stdout and "absent.tif" in run.stdout
    assert all(pages(tmp_path / "out" / f"{i}.tif") == 2 for i in range(12))


@pytest.mark.parametrize("format", ["classic", "bigtiff"])
@pytest.mark.parametrize("first, rest", [("<", "<"), ("<", ">"), (">", ">"), (">", "<")])
def test_uncompressed_pages_stay_memory_mappable(uncompressed, tmp_path, format, first, rest):
    """Every page tifffile maps in its input it maps in the merge, whichever byte order it comes from (wide samples
    change order with the file), with the same values."""
    import numpy
    import tifffile

    inputs = uncompressed(first, rest)
    out = tmp_path / "out.tif"
    assert vellox.merge(inputs, out, format=format).complete
    with tifffile.TiffFile(out) as merged:
        for index, path in enumerate(inputs):
            with tifffile.TiffFile(path) as original:
                assert original.pages[0].is_memmappable, path.name
                expected = original.asarray()
            page = merged.pages[index]
            assert page.is_memmappable, (f"page {index} ({path.name}): strips at {page.dataoffsets}, "
                                         f"{page.databytecounts} bytes")
            mapped = tifffile.memmap(out, page=index, mode="r")
            assert (mapped.dtype.kind, mapped.dtype.itemsize) == (expected.dtype.kind, expected.dtype.itemsize)
            numpy.testing.assert_array_equal(mapped, expected)


def test_page_selections_collate_and_split(samples, tmp_path):
    lzw, fax = samples["grey"], samples["fax"]
    report = vellox.merge([vellox.Input(lzw, pages="z-1"), fax, vellox.Input(lzw, pages="1")], tmp_path / "sel.tif")
    assert report.pages == 4 and [f.pages for f in report.files] == [2, 1, 1]
    report = vellox.merge([lzw, vellox.Input(fax)], tmp_path / "c.tif", collate=True)
    assert [f.pages for f in report.files] == [2, 1] and pages(tmp_path / "c.tif") == 3
    with pytest.raises(vellox.MergeError, match="it has 2 pages, so it has no page 3"):
        vellox.merge([vellox.Input(lzw, pages="3")], tmp_path / "none.tif")
    with pytest.raises(ValueError, match="not a page number"):
        vellox.Input(lzw, pages="1-")
    assert not (tmp_path / "none.tif").exists()

    split = vellox.split(tmp_path / "sel.tif", str(tmp_path / "part-%02d.tif"), every=3)
    assert split.status == "ok" and split.pages == 4
    assert split.parts == [str(tmp_path / "part-01.tif"), str(tmp_path / "part-02.tif")]
    assert [pages(p) for p in split.parts] == [3, 1]
    with pytest.raises(vellox.SplitError, match="%d"):
        vellox.split(lzw, str(tmp_path / "part.tif"))
def test_append_adds_pages_in_place_and_refuses_what_it_cannot_take(samples, tmp_path):
    doc, text = tmp_path / "doc.tif", tmp_path / "text.tif"
    vellox.merge([samples["fax"]], doc)
    size = doc.stat().st_size
    report = vellox.append(doc, [samples["grey"], str(samples["grey16"])])
    assert (report.status, report.pages, report.bytes, pages(doc)) == ("ok", 3, doc.stat().st_size - size, 4)
    text.write_text("not a tiff")
    for target, inputs, status in ((text, [doc], "not-tiff"), (doc, [samples["fax"], doc], "invalid-request")):
        with pytest.raises(vellox.MergeError) as caught:
            vellox.append(target, inputs)
        assert caught.value.status == status
