# One name, one resource: every spelling of a name (ASCII case, either
# separator) finds the same resource in the Python package, rux-mount and
# rux-extract -i, and over two files the first file's wins.
#
# RUX_MOUNT names rux-mount when it was built; its rows are skipped
# otherwise, and where FUSE cannot mount.
import os
import shutil
import struct
import subprocess
import zlib

import pytest

import rux
from test_rux import EXTRACT, make_tree, run

MOUNT = os.environ.get("RUX_MOUNT", "")
PATCH = b"patched vector\n"
BASE = b"#include <bits/stl_vector.h>\n" * 160
SPELLINGS = ["c++/12/vector", "c++/12/VECTOR", "C++/12/Vector", "C++/12/VECTOr", "c++\\12\\vector",
             "C++\\12/vECTOR"]


@pytest.fixture
def union(tmp_path):
    make_tree(tmp_path / "p", {"c++/12/VECTOR": PATCH})
    make_tree(tmp_path / "i", {"c++/12/vector": BASE, "c++/12/list": b"list\n"})
    rux.pack(tmp_path / "patch.rux", tmp_path / "p")
    rux.pack(tmp_path / "inc.rux", tmp_path / "i")
    return tmp_path / "patch.rux", tmp_path / "inc.rux"


@pytest.fixture
def mounted(union, tmp_path):
    if not MOUNT or not os.path.exists("/dev/fuse") or not shutil.which("fusermount3"):
        pytest.skip("rux-mount cannot run here")
    mnt = tmp_path / "mnt"
    mnt.mkdir()
    done = subprocess.run([MOUNT, *union, mnt], capture_output=True)
    if done.returncode != 0:
        pytest.skip("cannot mount: %s" % done.stderr.decode(errors="replace"))
    yield mnt
    subprocess.run(["fusermount3", "-u", mnt])


@pytest.mark.parametrize("spelling", SPELLINGS)
def test_every_spelling_is_the_first_files_resource(union, spelling, tmp_path):
    with rux.ResourceFile(*union) as f:
        assert sorted(f.namelist()) == ["c++/12/VECTOR", "c++/12/list"]
        info = f.getinfo(spelling)
        assert (info.name, info.size) == ("c++/12/VECTOR", len(PATCH))
        assert f.read(spelling) == PATCH and f.open(spelling).read() == PATCH
        f.extractall(tmp_path / "out", members=[spelling])
        assert os.listdir(tmp_path / "out" / "c++" / "12") == ["VECTOR"]
    # -i matches every spelling, in each file alone.
    for path, name in zip(union, ["c++/12/VECTOR", "c++/12/vector"]):
        listed = run(EXTRACT, "-l", "-i", spelling, path).decode()
        assert listed.split("\n")[0].split(" ")[1].replace("\\", "/") == name


def test_the_mount_shows_one_vector_for_every_spelling(mounted):
    assert sorted(os.listdir(mounted)) == ["c++"]
    assert sorted(os.listdir(mounted / "c++" / "12")) == ["VECTOR", "list"]
    for spelling in SPELLINGS:
        if "\\" in spelling:
            continue  # not a path on this system
        with open(mounted / spelling, "rb") as f:
            assert f.read() == PATCH, spelling
        assert os.stat(mounted / spelling).st_size == len(PATCH)


def stored_file(path, resources):
    """A resource file of stored resources (name, data), as rux-pack will
    not make it: the data after the header, then the tables."""
    data, names, records = b"", b"", b""
    for name, body in resources:
        records += struct.pack("<5I", len(names), 2, 8 + len(data), len(body), 0)
        names += name + b"\0"
        data += body

    def table(raw, count, size):
        packed = zlib.compress(raw)
        return struct.pack("<3I", len(packed), count, size) + packed

    with open(path, "wb") as f:
        f.write(b"RUXA" + struct.pack("<I", len(data)) + data + table(records, len(resources), 20)
                + table(names, len(names), 1) + table(b"", 0, 4))


def test_within_one_file_two_spellings_stay_two(tmp_path):
    stored_file(tmp_path / "one.rux", [(b"a/X", b"upper"), (b"a/x", b"lower")])
    with rux.ResourceFile(tmp_path / "one.rux") as f:
        assert sorted(f.namelist()) == ["a/X", "a/x"]
        assert f.read("a/X") == b"upper" and f.read("a\\x") == b"lower"
        assert f.read("A/x") in (b"upper", b"lower")


@pytest.mark.parametrize("store", ["*.h", b"*.h", ["*.h"], (b"*.h",), iter(["*.h"])])
def test_pack_takes_one_glob_or_many_and_paths_keep_their_type(tmp_path, store):
    make_tree(tmp_path / "t", {"a.h": b"x" * 5000, "b.c": b"y" * 5000})
    out = tmp_path / "out.rux"
    rux.pack(out, tmp_path / "t", store=store, exclude="*.tmp")
    with rux.ResourceFile(out) as f:
        assert {i.name: i.kind for i in f.infolist()} == {"a.h": "stored", "b.c": "deflated"}
    for given in (os.fspath(out), os.fsencode(out), out):
        with rux.ResourceFile(given, given) as f:
            assert f.filename == os.fspath(given) and type(f.filename) is type(os.fspath(given))
            assert f.filenames == [os.fspath(given)] * 2
    with pytest.raises(TypeError):
        rux.pack(out, tmp_path / "t", loose=[1])
