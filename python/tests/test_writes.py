# Tests of what the package writes and compares, against the tools: pack
# (with patch_from too) makes rux-pack's bytes, diff gives rux-diff's
# entries. The helpers and the programs' names are test_rux's.
import json
import os

import pytest

import rux
from test_rux import PACK, make_tree, run, text

DIFF = os.environ.get("RUX_DIFF", "rux-diff")


def test_pack_makes_the_bytes_rux_pack_makes(tmp_path):
    source = tmp_path / "src"
    make_tree(source, {"a/big.txt": text(200000, 2), "b.wav": text(3000, 3), "keys.cfg": b"k=v\n",
                       "skip/me.txt": b"x", "tiny": b"t"})
    options = dict(level=9, block_size=8192, store=["*.wav"], loose=["*.cfg"], exclude=["skip"], jobs=1)
    rux.pack(tmp_path / "ours.rux", source, **options)
    run(PACK, "--level", "9", "--block-size", "8192", "--store", "*.wav", "--loose", "*.cfg", "-x", "skip",
        tmp_path / "theirs.rux", source)
    assert (tmp_path / "ours.rux").read_bytes() == (tmp_path / "theirs.rux").read_bytes()
    assert (tmp_path / "ours.ruxkeys.cfg").read_bytes() == b"k=v\n"
    rux.pack(tmp_path / "plain.rux", source)
    run(PACK, tmp_path / "plain2.rux", source)
    assert (tmp_path / "plain.rux").read_bytes() == (tmp_path / "plain2.rux").read_bytes()
    with pytest.raises(rux.Error) as caught:
        rux.pack(tmp_path / "x.rux", tmp_path / "nothing")
    assert "is not a directory" in str(caught.value)
    assert not (tmp_path / "x.rux").exists()
    for bad in (dict(level=13), dict(level=-1), dict(block_size=0), dict(jobs=0)):
        with pytest.raises(ValueError):
            rux.pack(tmp_path / "x.rux", source, **bad)


def test_diff_gives_the_entries_of_rux_diff_json(tmp_path):
    old, new = tmp_path / "old", tmp_path / "new"
    for root, files in ((old, {"same": b"s", "gone": b"g", "Grow": b"ab", "big": bytes(range(256)) * 999}),
                        (new, {"same": b"s", "added": b"a", "grow": b"abc", "big": bytes(range(256)) * 999})):
        root.mkdir()
        for name, data in files.items():
            (root / name).write_bytes(data)
    run(PACK, "-q", tmp_path / "old.rux", old)
    run(PACK, "-q", "--level", "1", tmp_path / "new.rux", new)
    for a, b in ((tmp_path / "old.rux", tmp_path / "new.rux"), (str(tmp_path / "old.rux"), new),
                 ([tmp_path / "new.rux", tmp_path / "old.rux"], new)):
        union = "+".join(map(os.fspath, a)) if isinstance(a, list) else a
        said = json.loads(run(DIFF, "--json", union, b, status=1))
        assert rux.diff(a, b) == said["changes"]
    changes = rux.diff(tmp_path / "old.rux", tmp_path / "new.rux", exclude="big")
    assert [(c["change"], c["name"]) for c in changes] == [("A", "added"), ("D", "gone"), ("M", "grow")]
    assert rux.diff(old, new, include=["g*"], exclude=b"gone")[0]["old"] == {"name": "Grow", "size": 2}
    with pytest.raises(rux.Error, match="Not found on either side"):
        rux.diff(old, new, include="nothing")
    with pytest.raises(rux.Error, match="not a resource file"):
        rux.diff(tmp_path / "old" / "same", new)


def test_pack_patch_from_makes_the_bytes_rux_pack_makes(tmp_path):
    base, new = tmp_path / "base", tmp_path / "new"
    for root, files in ((base, {"a": b"a" * 5000, "b": b"b", "gone": b"g"}), (new, {"a": b"a" * 4999 + b"!", "b": b"b", "c": b"c"})):
        root.mkdir()
        for name, data in files.items():
            (root / name).write_bytes(data)
    rux.pack(tmp_path / "base.rux", base)
    run(PACK, "-q", "--patch-from", tmp_path / "base.rux", tmp_path / "tool.rux", new)
    with pytest.warns(UserWarning, match="1 resource of .*base.rux is not in .*new; a patch cannot remove it"):
        rux.pack(tmp_path / "patch.rux", new, patch_from=tmp_path / "base.rux")
    assert (tmp_path / "patch.rux").read_bytes() == (tmp_path / "tool.rux").read_bytes()
    with rux.ResourceFile(tmp_path / "patch.rux") as f:
        assert sorted(f.namelist()) == ["a", "c"]
    assert [c["name"] for c in rux.diff([tmp_path / "patch.rux", tmp_path / "base.rux"], new)] == ["gone"]
