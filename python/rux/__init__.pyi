"""Read and write resource files (extension ``rux``); shaped like zipfile."""
import io
import os
from types import TracebackType
from typing import Iterable, List, Literal, Optional, Tuple, Type, Union

from ._rux import BadResourceFile as BadResourceFile, Error as Error

_Path = Union[str, bytes, os.PathLike]
_Name = Union[str, bytes, "ResourceInfo"]

class ResourceInfo:
    """One resource as the index lists it."""
    name: str
    """The name, os.fsdecode of its bytes."""
    kind: Literal["loose", "stored", "deflated", "unknown"]
    size: int
    """Its size in bytes, as listed."""
    packed_size: int
    """The bytes it takes in the resource file (0 for a loose resource)."""
    block_length: int
    """The inflated length of its blocks (0 unless deflated)."""
    blocks: int
    slot: int
    """Its index slot; infolist() is in slot order."""
    def __init__(self, name: str, kind: str, size: int, packed_size: int, block_length: int, blocks: int,
                 slot: int) -> None: ...

class ResourceIO(io.RawIOBase):
    """A read-only, seekable binary file over one resource."""
    name: str
    @property
    def size(self) -> int:
        """The bytes a read of the whole resource gives."""
    def readinto(self, buffer: bytearray | memoryview) -> int:
        """Reads into buffer from the position; the bytes read, 0 at the end."""
    def read(self, size: Optional[int] = -1) -> bytes: ...
    def readall(self) -> bytes: ...
    def seek(self, offset: int, whence: int = ...) -> int:
        """Moves the position (past the end is allowed); costs no read."""
    def tell(self) -> int: ...

class ResourceFile:
    """One or more resource files mounted in order into one resource set."""
    filename: str
    filenames: List[str]
    def __init__(self, path: _Path, *more_paths: _Path) -> None:
        """Mounts the files; BadResourceFile when one cannot be mounted."""
    def __enter__(self) -> "ResourceFile": ...
    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None: ...
    def close(self) -> None:
        """Releases the files; waits for reads in flight."""
    def namelist(self) -> List[str]:
        """The names, in slot order."""
    def infolist(self) -> List[ResourceInfo]:
        """A ResourceInfo per resource, in slot order."""
    def getinfo(self, name: _Name) -> ResourceInfo:
        """The resource of that name, ignoring ASCII case; KeyError if none."""
    def read(self, name: _Name) -> bytes:
        """All its bytes; Error (errno EIO for a damaged block) when they cannot be read."""
    def open(self, name: _Name, mode: Literal["r", "rb"] = "r") -> ResourceIO:
        """A seekable binary file over the resource."""
    def test(self, *, jobs: Optional[int] = None) -> List[Tuple[str, str]]:
        """Reads everything: (name, reason) of each resource that failed."""
    def extractall(self, path: Optional[_Path] = None, members: Optional[Iterable[_Name]] = None, *,
                   jobs: Optional[int] = None) -> None:
        """Writes the resources below path as rux-extract does; Error (errno, strerror, filename,
        resource, failures) for the first failure."""

def pack(out: _Path, directory: _Path, *, level: int = 6, block_size: int = 65536, store: Iterable[str] = (),
         loose: Iterable[str] = (), exclude: Iterable[str] = (), jobs: Optional[int] = None,
         patch_from: Union[_Path, Iterable[_Path]] = ()) -> None:
    """Makes the resource file out from directory's tree, as rux-pack does."""

def diff(old: Union[_Path, List[_Path], Tuple[_Path, ...]], new: Union[_Path, List[_Path], Tuple[_Path, ...]], *,
         include: Union[str, bytes, Iterable[Union[str, bytes]]] = (),
         exclude: Union[str, bytes, Iterable[Union[str, bytes]]] = (),
         jobs: Optional[int] = None) -> List[dict]:
    """What changed from old to new, as the entries of rux-diff --json."""
