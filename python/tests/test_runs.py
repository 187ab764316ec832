# The runs of the package as a host program meets them: the facts on its
# errors, warnings apart from them, Ctrl-C during a long run, and the
# interpreter's signal handlers left as they were.
import errno
import os
import shutil
import signal
import subprocess
import sys
import warnings

import pytest

import rux


def handlers():
    """Every signal's handler as the interpreter has it."""
    found = {}
    for number in range(1, signal.NSIG):
        try:
            found[number] = signal.getsignal(number)
        except (OSError, ValueError):
            pass
    return found


def test_errors_carry_facts_and_warnings_come_apart(tmp_path):
    before = handlers()
    source = tmp_path / "src"
    source.mkdir()
    (source / "a.txt").write_bytes(b"a" * 5000)
    os.mkfifo(source / "pipe")
    # A failed pack: the system's errno and the output path, as given.
    with warnings.catch_warnings(record=True) as told:
        warnings.simplefilter("always")
        with pytest.raises(rux.Error) as caught:
            rux.pack(tmp_path / "none" / "x.rux", source)
    assert caught.value.errno == errno.ENOENT
    assert caught.value.filename == os.fspath(tmp_path / "none" / "x.rux")
    assert "pipe" not in caught.value.strerror
    assert [str(w.message) for w in told] == [os.fspath(source / "pipe") + ": " + str(told[0].message).split(": ", 1)[1]]
    assert len(told) == 1 and issubclass(told[0].category, UserWarning)
    # Bytes in, bytes out; a refusal is EINVAL with every reason listed.
    with pytest.raises(rux.Error) as caught:
        rux.pack(os.fsencode(tmp_path / "x.rux"), os.fsencode(tmp_path / "nothing"))
    assert caught.value.errno == errno.ENOTDIR and caught.value.filename == os.fsencode(tmp_path / "nothing")
    (source / "A.TXT").write_bytes(b"b")
    with warnings.catch_warnings(record=True):
        with pytest.raises(rux.Error) as caught:
            rux.pack(tmp_path / "x.rux", source)
    assert caught.value.errno == errno.EINVAL and len(caught.value.failures) == 1
    assert not (tmp_path / "x.rux").exists()
    os.remove(source / "A.TXT")
    # An extraction's failures: each one listed, the first one raised.
    with warnings.catch_warnings(record=True):
        rux.pack(tmp_path / "ok.rux", source)
    blocked = tmp_path / "blocked"
    blocked.mkdir()
    (blocked / "a.txt").mkdir()
    (blocked / "a.txt" / "x").write_bytes(b"")
    with rux.ResourceFile(tmp_path / "ok.rux") as f:
        assert f.test() == []
        with pytest.raises(rux.Error) as caught:
            f.extractall(os.fsencode(blocked))
    assert caught.value.resource == "a.txt" and caught.value.filename == os.fsencode(blocked / "a.txt")
    assert caught.value.failures == [("a.txt", caught.value.errno, caught.value.strerror)]
    # An output directory that cannot be made: named as given.
    with rux.ResourceFile(tmp_path / "ok.rux") as f:
        for given in (blocked / "a.txt" / "x" / "d", os.fsencode(blocked / "a.txt" / "x" / "d")):
            with pytest.raises(OSError) as caught:
                f.extractall(given)
            assert caught.value.errno == errno.ENOTDIR and caught.value.filename == os.fspath(given)
    assert handlers() == before


def test_a_full_disk_gives_its_errno_and_the_path(tmp_path):
    if not shutil.which("unshare") or os.geteuid() != 0:
        pytest.skip("no mount namespace of its own here")
    source = tmp_path / "src"
    source.mkdir()
    (source / "small.txt").write_bytes(b"fits")
    (source / "big.bin").write_bytes(os.urandom(1 << 20))
    rux.pack(tmp_path / "in.rux", source, store=["*.bin"])
    out = tmp_path / "out"
    out.mkdir()
    script = (
        "import rux, sys\n"
        "try:\n"
        "    rux.ResourceFile(sys.argv[1]).extractall(sys.argv[2])\n"
        "except rux.Error as e:\n"
        "    print(e.errno, e.filename, e.resource, sorted(n for n, _, _ in e.failures))\n")
    said = subprocess.run(
        ["unshare", "-m", "sh", "-c", 'mount -t tmpfs -o size=256k none "$2" && exec "$0" -c "$3" "$1" "$2"',
         sys.executable, os.fspath(tmp_path / "in.rux"), os.fspath(out), script],
        capture_output=True, text=True)
    if said.returncode != 0 and said.stderr.startswith("unshare:"):
        # A chroot whose root is no mount point cannot have a private one.
        pytest.skip("no mount namespace of its own here: " + said.stderr)
    if said.returncode != 0 and "mount" in said.stderr:
        pytest.skip("no tmpfs here: " + said.stderr)
    assert said.stdout.split() == [str(errno.ENOSPC), os.fspath(out / "big.bin"), "big.bin", "['big.bin']"]


# A child interpreter that runs one long call, tells its parent when it
# begins, and says how it ended and whether its signal handlers changed.
CHILD = """
import os, signal, sys, rux
sys.path.insert(0, os.path.dirname(sys.argv[1]))
from test_runs import handlers
before = handlers()
call, args = sys.argv[2], sys.argv[3:]
print("go", flush=True)
try:
    if call == "pack":
        rux.pack(args[0], args[1], level=1, jobs=2)
    else:
        with rux.ResourceFile(args[0]) as f:
            f.extractall(args[1], jobs=int(call))
    print("finished")
except KeyboardInterrupt:
    print("interrupted")
print("same" if handlers() == before else "changed")
"""


def interrupt(*args):
    child = subprocess.Popen([sys.executable, "-c", CHILD, __file__] + [os.fspath(a) if not isinstance(a, int) else str(a) for a in args],
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "go\n"
    # Well into a run that takes seconds.
    try:
        child.wait(0.5)
    except subprocess.TimeoutExpired:
        pass
    child.send_signal(signal.SIGINT)
    said = child.stdout.read().split()
    child.wait()
    return said


def test_ctrl_c_stops_a_run_and_leaves_what_the_command_line_leaves(tmp_path):
    source = tmp_path / "src"
    source.mkdir()
    with open(source / "zeros", "wb") as f:
        f.truncate(2 << 30)  # sparse: packed fast, inflated into 2 GiB
    (tmp_path / "out.rux").write_bytes(b"old")
    # A pack: no output made, the old one as it was, no temporary.
    assert interrupt("pack", tmp_path / "out.rux", source) == ["interrupted", "same"]
    assert sorted(os.listdir(tmp_path)) == ["out.rux", "src"]
    assert (tmp_path / "out.rux").read_bytes() == b"old"
    rux.pack(tmp_path / "in.rux", source, level=1)
    for jobs in (1, 3):
        out = tmp_path / ("out%d" % jobs)
        out.mkdir()
        (out / "zeros").write_bytes(b"old")
        assert interrupt(jobs, tmp_path / "in.rux", out) == ["interrupted", "same"]
        assert os.listdir(out) == ["zeros"] and (out / "zeros").read_bytes() == b"old"
