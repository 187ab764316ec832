"""rux.diff: what changed between two versions, as rux-diff tells it."""

import errno
import os
import warnings

from . import _rux


def _side(side):
    """(files, directory) of one side: a sequence of resource files is
    their union; a path is a directory or one resource file."""
    if isinstance(side, (list, tuple)):
        if not side:
            raise ValueError("a union needs at least one resource file")
        return [os.fsencode(p) for p in side], b""
    path = os.fsencode(side)
    if os.path.isdir(path):
        return [], path
    return [path], b""


def _listed(listed):
    if listed is None:
        return None
    name, resource, kind, size, packed_size, block_length, blocks, file = listed
    entry = {"name": os.fsdecode(name), "size": size}
    if resource:
        entry.update({"kind": {1: "loose", 2: "stored", 8: "deflated"}.get(kind, "unknown"),
                      "kind_number": kind, "packed_size": packed_size, "block_length": block_length,
                      "blocks": blocks, "file": file})
    return entry


def diff(old, new, *, include=(), exclude=(), jobs=None):
    """What changed from old to new, as the entries of ``rux-diff --json``:
    a list of dicts in name order, each with ``change`` ("A" added, "D"
    deleted, "M" changed, "K" the same bytes listed otherwise), ``name``,
    and ``old`` and ``new`` (None where absent, else ``name``, ``size`` and,
    for a resource, ``kind``, ``kind_number``, ``packed_size``,
    ``block_length``, ``blocks`` and ``file``).

    old and new are each a directory, a resource file, or a list of
    resource files shown as one (the first given wins a name). Names match
    ignoring ASCII case, with '/' and '\\' alike; include and exclude are
    GLOBs as rux-diff's -i and -x take them (one str, or several). Raises
    Error when a side cannot be read, or a resource cannot be compared
    (errno EIO, filename the resource's name), and for an include GLOB
    that matches no name; warnings about files a walk left out come as
    UserWarning. jobs: threads, default one per core.
    """
    if isinstance(include, (str, bytes)):
        include = [include]
    if isinstance(exclude, (str, bytes)):
        exclude = [exclude]
    old_files, old_dir = _side(old)
    new_files, new_dir = _side(new)
    changes, troubles, unmatched, walked = _rux.diff(
        old_files, old_dir, new_files, new_dir, [os.fsencode(g) for g in include],
        [os.fsencode(g) for g in exclude], _rux.default_jobs() if jobs is None else jobs, _rux.Error)
    for path, what in walked:
        warnings.warn("%s: %s" % (os.fsdecode(path), os.fsdecode(what)), stacklevel=2)
    if troubles:
        name, reason = troubles[0]
        raise _rux.Error(errno.EIO, os.fsdecode(reason), os.fsdecode(name))
    if unmatched:
        raise _rux.Error("%s: Not found on either side" % os.fsdecode(unmatched[0]))
    return [{"change": change, "name": os.fsdecode((new or old)[0]), "old": _listed(old), "new": _listed(new)}
            for change, old, new in changes]
