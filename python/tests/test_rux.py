# Tests of the Python package rux against the tools themselves: the
# listing, the trees and the bytes that rux-extract and rux-pack make.
#
# RUX_EXTRACT and RUX_PACK name the programs, RUX_SOURCE_DIR the source
# tree (for examples/); PYTHONPATH must reach the build's package.
import errno
import io
import json
import os
import random
import shutil
import subprocess
import tarfile
import threading

import pytest

import rux

SOURCE = os.environ.get("RUX_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
EXTRACT = os.environ.get("RUX_EXTRACT", "rux-extract")
PACK = os.environ.get("RUX_PACK", "rux-pack")


def run(*args, status=0):
    done = subprocess.run([os.fspath(a) for a in args], capture_output=True)
    assert done.returncode == status, done.stderr
    return done.stdout


def tree(root):
    """Every file below root: relative path (bytes) -> contents."""
    root = os.fsencode(root)
    files = {}
    for base, _dirs, names in os.walk(root):
        for name in names:
            path = os.path.join(base, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, root)] = f.read()
    return files


def text(n, seed):
    """n bytes of text that deflates, different for each seed."""
    rng = random.Random(seed)
    words = [b"alpha", b"beta", b"gamma", b"delta", b"rux", b"block", b"\n"]
    chunk = b" ".join(rng.choice(words) for _ in range(20000))
    return (chunk * (n // len(chunk) + 1))[:n]


def make_tree(root, files):
    for name, data in files.items():
        path = os.path.join(os.fsencode(root), os.fsencode(name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


@pytest.fixture
def sample(tmp_path):
    shutil.copy(os.path.join(SOURCE, "examples", "sample.rux"), tmp_path)
    shutil.copytree(os.path.join(SOURCE, "examples", "sample.ruxconfig"), tmp_path / "sample.ruxconfig")
    return tmp_path / "sample.rux"


@pytest.fixture
def big(tmp_path):
    """A packed tree: a 300 KiB text in blocks of 4 KiB, a stored file, a tar."""
    source = tmp_path / "src"
    files = {"big.txt": text(300 * 1024 + 17, 1), "dir/stored.bin": os.urandom(5000), "same.txt": b"big"}
    make_tree(source, files)
    with tarfile.open(source / "bundle.tar", "w") as t:
        t.add(source / "dir" / "stored.bin", arcname="inner.bin")
    files["bundle.tar"] = (source / "bundle.tar").read_bytes()
    out = tmp_path / "big.rux"
    rux.pack(out, source, block_size=4096)
    return out, files


def printed(name):
    """A name (str) as the listing lines print it, as bytes."""
    out = bytearray()
    for c in name:
        code = ord(c)
        if 0xDC80 <= code <= 0xDCFF:  # a byte of no UTF-8 sequence
            raw = bytes([code - 0xDC00])
            escape = 0x80 <= raw[0] <= 0x9F
        else:
            raw = c.encode()
            escape = code < 32 or code == 127 or 0x80 <= code <= 0x9F or 0x202A <= code <= 0x202E or \
                0x2066 <= code <= 0x2069
        out += b"".join(b"\\%03o" % b for b in raw) if escape else raw
    return bytes(out)


def test_listing_json_matches_plain_listing_and_the_module(sample, tmp_path):
    odd = tmp_path / "odd"
    names = [b"bad\xff\xfe.bin", b"c1\xc2\x9b.txt", b"raw\x9b.txt", b"bidi\xe2\x80\xae.txt", b"caf\xc3\xa9.txt"]
    make_tree(odd, {os.fsdecode(n): n for n in names})
    run(PACK, tmp_path / "odd.rux", odd)
    for path in (sample, tmp_path / "odd.rux"):
        document = json.loads(run(EXTRACT, "-l", "--json", path))
        lines = run(EXTRACT, "-l", path).splitlines()
        entries = document["resources"]
        assert [b"%d %s %d" % (e["kind_number"], printed(e["name"]), e["size"]) for e in entries] == lines
        assert document["file"] == os.fspath(path)
        assert document["totals"]["resources"] == len(lines)
        assert document["totals"]["size"] == sum(e["size"] for e in entries)
        with rux.ResourceFile(path) as f:
            infos = [(i.slot, i.kind, i.name, i.size, i.packed_size, i.block_length, i.blocks) for i in f.infolist()]
            assert infos == [(e["slot"], e["kind"], e["name"], e["size"], e["packed_size"], e["block_length"],
                              e["blocks"]) for e in entries]
            assert f.namelist() == [e["name"] for e in entries]
    # Every name's bytes come back from the JSON string and from the module.
    with rux.ResourceFile(tmp_path / "odd.rux") as f:
        assert sorted(os.fsencode(n) for n in f.namelist()) == sorted(names)
        assert all(f.read(n) == os.fsencode(n) for n in f.namelist())


def test_zipfile_shaped_calls_on_the_sample(sample, tmp_path):
    run(EXTRACT, sample, tmp_path / "ref")
    expected = tree(tmp_path / "ref")
    with rux.ResourceFile(sample) as f:
        assert {os.fsencode(n).replace(b"\\", b"/") for n in f.namelist()} == set(expected)
        for info in f.infolist():
            data = expected[os.fsencode(info.name).replace(b"\\", b"/")]
            assert f.read(info.name) == data
            assert f.read(info) == data
            with f.open(info.name) as h:
                assert h.readable() and h.seekable()
                assert io.BufferedReader(h, 1000).read() == data
            sink = io.BytesIO()
            shutil.copyfileobj(f.open(info.name), sink, 777)
            assert sink.getvalue() == data
        poem = f.getinfo("TEXT/Poem.TXT")  # ASCII case ignored, as the index does
        assert (poem.name, poem.kind, poem.size, poem.blocks) == ("text/poem.txt", "deflated", 21892, 6)
        assert f.getinfo("config/keys.cfg").kind == "loose"
        assert f.getinfo("readme.txt").kind == "stored"
        # One identity: ASCII case folded, either separator.
        assert f.getinfo("TEXT\\poem.txt") is poem
        assert f.read("data/table.bin") == f.read("data\\table.bin")
        for missing in ("nothing", "text/poem.txt/", "text//poem.txt"):
            with pytest.raises(KeyError):
                f.getinfo(missing)
            with pytest.raises(KeyError):
                f.open(missing)
        assert f.test() == []
    with pytest.raises(ValueError):
        f.read("readme.txt")


def test_seeks_and_reads_against_the_source_bytes(big):
    path, files = big
    data = files["big.txt"]
    rng = random.Random(7)
    with rux.ResourceFile(path) as f:
        assert f.getinfo("big.txt").blocks == len(data) // 4096 + 1
        with f.open("big.txt") as h, f.open("big.txt") as other:
            assert h.size == len(data)
            for _ in range(300):
                at, n = rng.randrange(len(data) + 100), rng.choice([0, 1, 100, 4096, 9000])
                whence = rng.choice([os.SEEK_SET, os.SEEK_CUR, os.SEEK_END])
                offset = {os.SEEK_SET: at, os.SEEK_CUR: at - h.tell(), os.SEEK_END: at - len(data)}[whence]
                assert h.seek(offset, whence) == at and h.tell() == at
                if rng.random() < 0.5:
                    assert h.read(n) == data[at:at + n]
                else:
                    buffer = bytearray(n)
                    got = h.readinto(memoryview(buffer))
                    assert bytes(buffer[:got]) == data[at:at + n]
                assert h.tell() == at + len(data[at:at + n])
            assert other.read(10) == data[:10]  # each has its own position
            with pytest.raises(ValueError):
                h.seek(-1)
        # The stored resource and a tar file read through open().
        assert f.open("DIR/stored.bin").read() == files["dir/stored.bin"]
        with tarfile.open(fileobj=f.open("bundle.tar")) as t:
            assert t.extractfile("inner.bin").read() == files["dir/stored.bin"]


def test_every_error_is_an_exception(big, tmp_path):
    path, files = big
    # A byte flipped inside the deflated data: one damaged block.
    # The data region starts after the 8-byte header, with big.txt, the
    # first name in order.
    damaged = tmp_path / "damaged.rux"
    raw = bytearray(path.read_bytes())
    raw[8 + 2] ^= 0xFF
    damaged.write_bytes(bytes(raw))
    with rux.ResourceFile(damaged) as f:
        name = "big.txt"
        assert [n for n, _ in f.test()] == [name]
        assert f.read("bundle.tar") == files["bundle.tar"]
        with pytest.raises(rux.Error) as caught:
            f.read(name)
        assert caught.value.errno == errno.EIO
        assert caught.value.filename == name
        assert caught.value.strerror.startswith("damaged block 1 of ")
        assert isinstance(caught.value, OSError)
        with f.open(name) as h:
            h.seek(1 << 20)
            assert h.read(10) == b""  # past the end: nothing, and no block read
            h.seek(0)
            with pytest.raises(rux.Error):
                h.read(1)
    # A long read is cut into ranges read by several threads: a block
    # damaged in a late one fails it all the same, and names that block.
    make_tree(tmp_path / "long", {"long.txt": text(20 << 20, 4), "stored.bin": os.urandom((17 << 20) + 3)})
    rux.pack(tmp_path / "long.rux", tmp_path / "long", store=["*.bin"])
    with rux.ResourceFile(tmp_path / "long.rux") as f:
        assert f.read("stored.bin") == (tmp_path / "long" / "stored.bin").read_bytes()
        assert f.read("long.txt") == (tmp_path / "long" / "long.txt").read_bytes()
        packed, blocks = f.getinfo("long.txt").packed_size, f.getinfo("long.txt").blocks
    raw = bytearray((tmp_path / "long.rux").read_bytes())
    raw[8 + packed * 3 // 4] ^= 0xFF
    (tmp_path / "long.rux").write_bytes(bytes(raw))
    with rux.ResourceFile(tmp_path / "long.rux") as f:
        with pytest.raises(rux.Error) as caught:
            f.read("long.txt")
        block, of = map(int, caught.value.strerror.split()[2::2])
        assert of == blocks and blocks // 2 < block < blocks
    # Files that are not resource files, or not there.
    (tmp_path / "text.rux").write_bytes(b"RUXA but nothing more")
    (tmp_path / "empty.rux").write_bytes(b"")
    for bad, code, reason in [("text.rux", errno.EIO, "cut short: the file ends at byte 21, and its directory table "
                               "needs bytes up to 1,953,849,908"), ("empty.rux", errno.EINVAL, "not a resource file"),
                              ("nothing.rux", errno.ENOENT, "No such file")]:
        with pytest.raises(rux.BadResourceFile) as caught:
            rux.ResourceFile(path, tmp_path / bad)
        assert caught.value.errno == code and reason in caught.value.strerror
        assert caught.value.filename == os.fspath(tmp_path / bad)
        assert isinstance(caught.value, rux.Error)
    # A loose file that is gone.
    sample_dir = tmp_path / "s"
    sample_dir.mkdir()
    shutil.copy(os.path.join(SOURCE, "examples", "sample.rux"), sample_dir)
    with rux.ResourceFile(sample_dir / "sample.rux") as f:
        with pytest.raises(rux.Error) as caught:
            f.read("config/keys.cfg")
        assert caught.value.errno == errno.ENOENT
        assert [n for n, _ in f.test()] == ["config/keys.cfg"]
    # Closed: every call says so.
    f.close()
    for call in (lambda: f.read("readme.txt"), f.test, lambda: f.getinfo("readme.txt"), lambda: f.extractall(tmp_path)):
        with pytest.raises(ValueError):
            call()


def test_damaged_files_raise_and_never_crash(sample, tmp_path):
    # Every 5th byte of the sample flipped, one at a time (the tables
    # included): mounting and reading everything raise rux's errors only.
    raw = sample.read_bytes()
    damaged = tmp_path / "sample.rux"
    outcomes = set()
    for at in range(0, len(raw), 5):
        damaged.write_bytes(raw[:at] + bytes([raw[at] ^ 0x5A]) + raw[at + 1:])
        try:
            with rux.ResourceFile(damaged) as f:
                failed = dict(f.test())
                for info in f.infolist():
                    try:
                        assert f.open(info).read() == f.read(info)
                        outcomes.add("read")
                    except rux.Error as e:
                        assert info.name in failed and e.strerror == failed[info.name]
                        outcomes.add("failed")
        except rux.BadResourceFile:
            outcomes.add("refused")
    assert outcomes == {"read", "failed", "refused"}


def test_a_cut_file_raises_eio_saying_cut_short(big, tmp_path):
    path, files = big
    raw = path.read_bytes()
    cut = tmp_path / "cut.rux"
    # The tables are last: a cut anywhere loses them, and the mount says where.
    for at in (len(raw) - 10, len(raw) // 2):
        cut.write_bytes(raw[:at])
        with pytest.raises(rux.BadResourceFile) as caught:
            rux.ResourceFile(cut)
        assert caught.value.errno == errno.EIO
        assert caught.value.strerror.startswith("cut short: the file ends at byte {:,}, and its ".format(at))
    # Cut after the mount: what lies before the cut reads, the rest raises EIO.
    outcomes = set()
    for at in (len(raw) // 2, len(raw) * 9 // 10, len(raw) - 20):
        cut.write_bytes(raw)
        with rux.ResourceFile(cut) as f:
            os.truncate(cut, at)
            for info in f.infolist():
                try:
                    assert f.read(info) == files[info.name]
                    outcomes.add("read")
                except rux.Error as e:
                    assert e.errno == errno.EIO and e.filename == info.name
                    assert e.strerror.startswith("cut short: ") and e.strerror.endswith(" are in the file")
                    outcomes.add("cut")
    assert outcomes == {"read", "cut"}


def test_two_files_at_once_and_threads(big, sample, tmp_path):
    path, files = big
    patch_dir = tmp_path / "patch"
    make_tree(patch_dir, {"same.txt": b"patch", "new.txt": b"new"})
    rux.pack(tmp_path / "patch.rux", patch_dir)
    with rux.ResourceFile(tmp_path / "patch.rux", path) as both, rux.ResourceFile(sample) as other:
        assert both.read("same.txt") == b"patch"  # the file mounted first wins
        assert both.read("new.txt") == b"new" and both.read("big.txt") == files["big.txt"]
        # The first file's same.txt alone is listed and extracted.
        assert sorted(both.namelist()) == sorted(list(files) + ["new.txt"])
        both.extractall(tmp_path / "both")
        assert tree(tmp_path / "both")[b"same.txt"] == b"patch"
        expected = dict(files, **{"same.txt": b"patch"})
        poem = other.read("text/poem.txt")
        results, errors = [], []

        def reader(seed):
            try:
                rng = random.Random(seed)
                for _ in range(50):
                    name = rng.choice(sorted(expected))
                    h = both.open(name)
                    at = rng.randrange(len(expected[name]))
                    h.seek(at)
                    results.append(h.read(5000) == expected[name][at:at + 5000] and
                                   other.read("text/poem.txt") == poem)
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        threads = [threading.Thread(target=reader, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == [] and len(results) == 200 and all(results)


def test_extractall_writes_the_tree_rux_extract_writes(sample, big, tmp_path):
    path, files = big
    for source in (sample, path):
        ours, theirs = tmp_path / ("ours-" + source.name), tmp_path / ("theirs-" + source.name)
        with rux.ResourceFile(source) as f:
            f.extractall(ours, jobs=2)
        run(EXTRACT, "-q", source, theirs)
        assert tree(ours) == tree(theirs) and tree(ours)
    with rux.ResourceFile(path) as f:
        f.extractall(tmp_path / "some", members=["BIG.txt", f.getinfo("same.txt")])
        assert tree(tmp_path / "some") == {b"big.txt": files["big.txt"], b"same.txt": b"big"}
        with pytest.raises(KeyError):
            f.extractall(tmp_path / "none", members=["missing"])
        # A file where a directory must go ends the run, as it ends rux-extract's.
        blocked = tmp_path / "blocked"
        make_tree(blocked, {"dir": b"a file"})
        with pytest.raises(rux.Error) as caught:
            f.extractall(blocked)
        assert caught.value.errno == errno.ENOTDIR and caught.value.resource == "dir/stored.bin"
        assert caught.value.filename == os.fspath(blocked / "dir" / "stored.bin")
        assert tree(blocked)[b"dir"] == b"a file"
