"""Read and write resource files (extension ``rux``) from Python.

The calls are shaped like :mod:`zipfile`'s::

    import rux
    with rux.ResourceFile("game.rux") as f:
        for info in f.infolist():
            print(info.kind, info.name, info.size)
        poem = f.read("text/poem.txt")

Names are :class:`str`, decoded from the file's bytes as :func:`os.fsdecode`
does, so every name round-trips (:func:`os.fsencode` gives its bytes back).
Two names are one resource when they are equal with ASCII letters folded and
"\\" taken as "/". Across files, the file given first wins for every
spelling, and a later file's resource of the same name is hidden. Within one
file, two such names stay two resources: a lookup of an exact spelling
returns that one, and any other spelling returns the one the library's
lookup returns.

Every block of a deflated resource inflates on its own, so the file object
that :meth:`ResourceFile.open` returns seeks anywhere at the cost of at most
one block. Reads release the GIL: threads read in parallel, from one
:class:`ResourceFile` or several.
"""

import errno
import io
import os
import warnings

from . import _rux
from ._rux import BadResourceFile, Error
from ._diff import diff

__all__ = ["ResourceFile", "ResourceInfo", "ResourceIO", "Error", "BadResourceFile", "pack", "diff"]

# Threads for one long read (8 MiB and more each): one per core.
_JOBS = _rux.default_jobs()


class ResourceInfo:
    """One resource of a ResourceFile, as its index lists it.

    ``name``: the name (str, os.fsdecode of its bytes); ``kind``: "loose",
    "stored", "deflated" (or "unknown"); ``size``: its size in bytes as
    listed; ``packed_size``: the bytes it takes in the resource file (0 for
    a loose one); ``block_length``: the inflated length of its blocks (0
    unless deflated); ``blocks``: their number; ``slot``: its index slot.
    """

    __slots__ = ("name", "kind", "size", "packed_size", "block_length", "blocks", "slot")

    def __init__(self, name, kind, size, packed_size, block_length, blocks, slot):
        self.name = name
        self.kind = kind
        self.size = size
        self.packed_size = packed_size
        self.block_length = block_length
        self.blocks = blocks
        self.slot = slot

    def __repr__(self):
        return "<ResourceInfo name=%r kind=%s size=%d packed_size=%d blocks=%d slot=%d>" % (
            self.name, self.kind, self.size, self.packed_size, self.blocks, self.slot)


class ResourceIO(io.RawIOBase):
    """A read-only binary file over one resource, from ResourceFile.open().

    Any number may be open on one resource, each with its own position; a
    seek moves the position only, and a read inflates only the blocks it
    touches.
    """

    def __init__(self, core, info):
        super().__init__()
        self._core = core
        self._slot = info.slot
        self._size = core.size(info.slot)
        self._position = 0
        self.name = info.name

    def readable(self):
        self._checkClosed()
        return True

    def seekable(self):
        self._checkClosed()
        return True

    def readinto(self, buffer):
        self._checkClosed()
        got = self._core.read_into(self._slot, self._position, buffer)
        self._position += got
        return got

    def read(self, size=-1):
        self._checkClosed()
        if size is None:
            size = -1
        data = self._core.read_range(self._slot, self._position, size, _JOBS)
        self._position += len(data)
        return data

    def readall(self):
        return self.read(-1)

    def seek(self, offset, whence=os.SEEK_SET):
        self._checkClosed()
        if whence == os.SEEK_SET:
            position = offset
        elif whence == os.SEEK_CUR:
            position = self._position + offset
        elif whence == os.SEEK_END:
            position = self._size + offset
        else:
            raise ValueError("invalid whence (%r, should be 0, 1 or 2)" % (whence,))
        if position < 0:
            raise ValueError("negative seek position %d" % (position,))
        self._position = position
        return position

    def tell(self):
        self._checkClosed()
        return self._position

    @property
    def size(self):
        """The bytes a read of the whole resource gives."""
        return self._size


class ResourceFile:
    """One or more resource files, mounted in order into one resource set.

    A name that two files list is the first file's. Use it as a context
    manager, or call close(). Every method may be called from any thread.
    Raises BadResourceFile (errno: the system's when a file cannot be
    opened, EIO when it is cut short, else EINVAL; strerror: why) when a
    file cannot be mounted.
    """

    def __init__(self, path, *more_paths):
        # Paths may be str, bytes or os.PathLike; they come back as
        # os.fspath gives them, so in the type given.
        given = [os.fspath(p) for p in (path, *more_paths)]
        paths = [os.fsencode(p) for p in given]
        self.filename = given[0]
        self.filenames = given
        self._core = _rux.Core(paths)
        self._infos = [
            ResourceInfo(os.fsdecode(name), kind, size, packed, block, blocks, slot)
            for name, kind, size, packed, block, blocks, slot in self._core.entries()
        ]
        self._by_slot = {info.slot: info for info in self._infos}

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        state = " [closed]" if self._core.closed else ""
        return "<rux.ResourceFile %r%s>" % (self.filename, state)

    def close(self):
        """Releases every mounted file. Waits for reads in flight; later
        calls raise ValueError."""
        self._core.close()

    def namelist(self):
        """The names, in slot order."""
        return [info.name for info in self._infos]

    def infolist(self):
        """A ResourceInfo for each resource, in slot order."""
        return list(self._infos)

    def getinfo(self, name):
        """The ResourceInfo of name, ignoring ASCII case; KeyError if none.
        A ResourceInfo of this file stands for itself."""
        if isinstance(name, ResourceInfo):
            if self._by_slot.get(name.slot) is name:
                return name
            name = name.name
        slot = self._core.lookup(os.fsencode(name))
        if slot < 0:
            raise KeyError("There is no resource named %r in the resource file" % (name,))
        return self._by_slot[slot]

    def read(self, name):
        """All the bytes of the resource name (or ResourceInfo).

        Raises KeyError for a missing name, and Error when its data cannot
        be read: errno EIO for a damaged block or a file cut short, with
        the block (or how much is in the file) in strerror and the
        resource's name as filename.
        """
        return self._core.read_range(self.getinfo(name).slot, 0, -1, _JOBS)

    def open(self, name, mode="r"):
        """A ResourceIO over the resource name (or ResourceInfo); mode "r"
        (or "rb") only."""
        if mode not in ("r", "rb"):
            raise ValueError('open() requires mode "r" or "rb"')
        return ResourceIO(self._core, self.getinfo(name))

    def test(self, *, jobs=None):
        """Reads every resource in full, as rux-extract -t does (an unsafe
        name fails too). A list of (name, reason) of those that failed;
        empty when all read. Ctrl-C stops it within a block."""
        return [(os.fsdecode(name), reason)
                for name, reason in self._core.test(_JOBS if jobs is None else jobs)]

    def extractall(self, path=None, members=None, *, jobs=None):
        """Writes the resources below the directory path (default: the
        current directory; made if missing), as rux-extract writes them.

        members: names (or ResourceInfo) to write, default all. jobs: worker
        threads, 1 to 256, default one per core. Each file is written as a
        temporary and renamed into place, no link below path is followed,
        and unsafe names are refused. A resource that cannot be read or is
        refused leaves no file and the others are written; one that cannot
        be written ends the run, as it ends rux-extract's. Then Error is
        raised for the first failure: errno (the system's, EIO for a
        damaged block or a file cut short, EINVAL for an unsafe name), strerror (why), filename
        (the output path, str or bytes as path was given), resource (the
        name), and failures: (name, errno, reason) of every one.

        Ctrl-C stops the run within a block and raises KeyboardInterrupt:
        no partial file and no temporary are left, and an existing file
        that was to be replaced stays as it was.
        """
        like = os.fspath(path) if path is not None else ""
        path = os.fsencode(os.getcwd() if path is None else path)
        if members is not None:
            slots = sorted({self.getinfo(m).slot for m in members})
            if not slots:
                return
        elif len(self.filenames) > 1:
            # A name that several files list: the first file's alone.
            slots = [i.slot for i in self._infos if self._core.lookup(os.fsencode(i.name)) == i.slot]
        else:
            slots = None
        # Made as given, so that its failure names the path in the caller's type.
        os.makedirs(path if isinstance(like, bytes) else os.fsdecode(path), exist_ok=True)
        status, failures, run = self._core.extract(path, slots, _JOBS if jobs is None else jobs)
        if run is not None:
            code, reason, where = run
            raise _error(code, reason, where, like)
        if failures:
            name, code, reason, where = failures[0]
            raise _error(code, reason, where or None, like, os.fsdecode(name),
                         [(os.fsdecode(n), c, r) for n, c, r, _ in failures])
        if status != 0:
            raise Error(errno.EIO, "extraction failed")


def _error(code, reason, filename, like, resource=None, failures=()):
    """Error(code, reason, filename), the filename str or bytes as like is."""
    if filename is not None and not isinstance(like, bytes):
        filename = os.fsdecode(filename)
    e = Error(code, reason, filename)
    e.resource = resource
    e.failures = list(failures)
    return e


def _globs(value, what):
    """One glob as str or bytes, or an iterable of them, as bytes."""
    if isinstance(value, (str, bytes)):
        return [os.fsencode(value)]
    globs = []
    for glob in value:
        if not isinstance(glob, (str, bytes)):
            raise TypeError("%s takes a glob as str or bytes, or an iterable of them, not %s"
                            % (what, type(glob).__name__))
        globs.append(os.fsencode(glob))
    return globs


def pack(out, directory, *, level=6, block_size=65536, store=(), loose=(), exclude=(), jobs=None, patch_from=()):
    """Makes the resource file out from the tree below directory, byte for
    byte as rux-pack does with these options (GLOBs as it takes them).
    store, loose and exclude each take one glob as str or bytes, or an
    iterable of them.

    Raises Error when it refuses or fails, and no output file is then made:
    errno (the system's, EINVAL for a refusal), strerror (why), filename
    (the path it concerns, str or bytes as out was given) and failures
    (name, errno, reason) of every refusal. ValueError for a level or block
    size it does not take. What rux-pack warns about (a link to a
    directory, a special file: left out) comes as a UserWarning each.
    jobs: deflating threads, 1 to 256, default one per core (the bytes are
    the same). Ctrl-C stops it within a chunk and raises KeyboardInterrupt:
    no output file is made, and an old one stays as it was. patch_from:
    base resource files (one path, or several: the first wins a name), as
    rux-pack --patch-from takes them: only the files they lack or hold with
    other bytes are packed, and a warning counts the bases' resources that
    directory lacks.
    """
    if isinstance(patch_from, (str, bytes, os.PathLike)):
        patch_from = [patch_from]
    like = os.fspath(out)
    status, failure, told, refused = _rux.pack(
        os.fsencode(out), os.fsencode(directory), level, block_size,
        _globs(store, "store"), _globs(loose, "loose"), _globs(exclude, "exclude"),
        _JOBS if jobs is None else jobs, [os.fsencode(p) for p in patch_from])
    for path, what in told:
        warnings.warn("%s: %s" % (os.fsdecode(path), what), stacklevel=2)
    if refused:
        reasons = [os.fsdecode(r) for r in refused]
        raise _error(errno.EINVAL, reasons[0], os.fsencode(directory), like, None,
                     [(None, errno.EINVAL, r) for r in reasons])
    if status != 0:
        code, reason, where = failure
        raise _error(code, reason, where or None, like, None, [(None, code, reason)])
